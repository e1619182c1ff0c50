// The re-entry rule for a face: the model's effects are shown one batch at a time. A message
// box, the close question and the file dialog run an event loop of their own, in which the
// model's next report or another close request can arrive; handled there, a report would be
// drawn between a box and its answer, out of order. Such arrivals wait until the showing ends.
// Used on the face's UI thread only.
#pragma once

namespace korvath::window {

class WindowFace;

class EffectsGuard {
  public:
    /// `face` is woken again when a report was held back; it must outlive the guard.
    explicit EffectsGuard(WindowFace& face) : face_(face) {}

    /// Effects being shown, from construction to destruction. Nested inside another showing
    /// (a face showing the effects that follow from an answer) it changes nothing.
    class Showing {
      public:
        explicit Showing(EffectsGuard& guard);
        ~Showing();
        Showing(const Showing&) = delete;
        Showing& operator=(const Showing&) = delete;

      private:
        EffectsGuard& guard_;
        bool outermost_;
    };

    /// Whether effects are being shown now.
    [[nodiscard]] bool showing() const { return showing_; }

    /// A wake from the model has arrived: true when the face may poll now; false when the
    /// reports wait, and the face is woken again once the showing has ended.
    [[nodiscard]] bool mayPoll();

    /// A close was asked for: true when the face may put its question now. During a showing
    /// the request is dropped; the user closes again once the box is answered.
    [[nodiscard]] bool mayAskToClose() const { return !showing_; }

  private:
    WindowFace& face_;
    bool showing_ = false;
    bool wakeHeld_ = false;
};

}  // namespace korvath::window
