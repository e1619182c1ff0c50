#include "ui_win32/main_window.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>

#include <algorithm>
#include <utility>

#include "korvath/version.h"
#include "platform/sha256.h"
#include "ui_win32/win_text.h"

namespace korvath::ui_win32 {

namespace {

constexpr UINT kWakeMessage = WM_APP + 1;
constexpr int kFirstControlId = 100;
constexpr const wchar_t* kClassName = L"KorvathMainWindow";
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kWindowExStyle = WS_EX_ACCEPTFILES;
// The drop-down list below the port box shows this many ports before it scrolls.
constexpr int kListedPorts = 8;

// The design's colours (window/layout.h) are 0xBBGGRR, as COLORREF holds them.
static_assert(RGB(0x12, 0x34, 0x56) == 0x563412);

struct ControlEntry {
    Control control;
    const wchar_t* windowClass;
    DWORD style;
    DWORD exStyle;
};

// Created in this order, which is also the tab order. The port box's label comes first: its
// mnemonic moves the focus to the next control, the port box. Captions, fonts and tips are the
// design's.
const ControlEntry kControls[] = {
    {Control::PortLabel, WC_STATICW, SS_LEFT, 0},
    {Control::PortBox, WC_COMBOBOXW,
     CBS_DROPDOWN | CBS_AUTOHSCROLL | CBS_OWNERDRAWFIXED | CBS_HASSTRINGS | WS_VSCROLL | WS_TABSTOP,
     0},
    {Control::OpenPort, WC_BUTTONW, BS_PUSHBUTTON | WS_TABSTOP, 0},
    {Control::ClosePort, WC_BUTTONW, BS_PUSHBUTTON | WS_TABSTOP, 0},
    {Control::ChooseFile, WC_BUTTONW, BS_PUSHBUTTON | WS_TABSTOP, 0},
    {Control::Download, WC_BUTTONW, BS_PUSHBUTTON | WS_TABSTOP, 0},
    {Control::Bar, PROGRESS_CLASSW, PBS_SMOOTH, 0},
    {Control::Status, WC_EDITW, ES_READONLY | ES_CENTER | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE},
    // Multi-line only so that its one line can sit in the middle of the box (centreFileName).
    {Control::FileName, WC_EDITW, ES_READONLY | ES_CENTER | ES_AUTOHSCROLL | ES_MULTILINE,
     WS_EX_CLIENTEDGE},
    {Control::LineSettings, WC_STATICW, SS_CENTER | SS_NOTIFY, 0},
    {Control::Details, WC_EDITW, ES_READONLY | ES_MULTILINE, 0},
    {Control::StatusFrame, WC_BUTTONW, BS_GROUPBOX, 0},
    {Control::FileFrame, WC_BUTTONW, BS_GROUPBOX, 0},
    {Control::DownloadFrame, WC_BUTTONW, BS_GROUPBOX, 0},
    {Control::PortFrame, WC_BUTTONW, BS_GROUPBOX, 0},
};

bool isBold(Control control) {
    return window::designOf(control).bold;
}

// The colours the design gives a control; where it gives none, black on the window's grey.
COLORREF backgroundOf(Control control) {
    return window::designOf(control).background.value_or(window::kBackColour);
}

COLORREF textOf(Control control) {
    return window::designOf(control).text.value_or(window::kBlack);
}

int idOf(Control control) {
    return kFirstControlId + static_cast<int>(control);
}

std::wstring windowText(HWND window) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

void setText(HWND window, const std::wstring& text) {
    if (windowText(window) != text) SetWindowTextW(window, text.c_str());
}

// A multi-line edit breaks lines at CR LF only.
std::wstring withCrLf(const std::string& text) {
    std::wstring result;
    for (wchar_t c : wide(text)) {
        if (c == L'\n') result += L'\r';
        if (c != L'\r') result += c;
    }
    return result;
}

std::wstring windowTitle() {
    return wide(std::string("Velbrannic -  Application Downloader   ") + kVersionText);
}

/// The question whether to stop the running download, with the buttons "Stop" and "Keep
/// downloading" (the default). True for Stop. The task dialog comes with the common controls
/// 6 that the program's manifest asks for; without them a Yes/No box says the same.
bool askToStop(HWND owner, const window::Message& question) {
    using TaskDialogFunction = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);
    constexpr int kStop = 100;
    constexpr int kKeep = 101;
    HMODULE controls = GetModuleHandleW(L"comctl32.dll");
    const auto taskDialog = reinterpret_cast<TaskDialogFunction>(reinterpret_cast<void (*)()>(
        controls ? GetProcAddress(controls, "TaskDialogIndirect") : nullptr));
    const std::wstring title = wide(question.title);
    const std::wstring text = withCrLf(question.text);
    if (taskDialog != nullptr) {
        const TASKDIALOG_BUTTON buttons[] = {{kStop, L"&Stop"}, {kKeep, L"&Keep downloading"}};
        TASKDIALOGCONFIG config{};
        config.cbSize = sizeof config;
        config.hwndParent = owner;
        config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION;
        config.pszWindowTitle = title.c_str();
        config.pszMainIcon = TD_WARNING_ICON;
        config.pszContent = text.c_str();
        config.cButtons = 2;
        config.pButtons = buttons;
        config.nDefaultButton = kKeep;
        int pressed = 0;
        if (SUCCEEDED(taskDialog(&config, &pressed, nullptr, nullptr))) return pressed == kStop;
    }
    const std::wstring asked = text + L"\r\n\r\nYes: stop it and close. No: keep downloading.";
    return MessageBoxW(owner, asked.c_str(), title.c_str(),
                       MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

UINT boxIcon(window::Icon icon) {
    switch (icon) {
        case window::Icon::Information:
            return MB_ICONINFORMATION;
        case window::Icon::Warning:
            return MB_ICONWARNING;
        case window::Icon::None:
            break;
    }
    return 0;
}

// The windows that show a control's tip: a combo box's edit field takes the mouse over most of
// the box, so it carries the tip too.
std::vector<HWND> tipWindows(HWND control, bool comboBox) {
    std::vector<HWND> windows{control};
    if (comboBox) {
        COMBOBOXINFO box{};
        box.cbSize = sizeof box;
        if (GetComboBoxInfo(control, &box) && box.hwndItem) windows.push_back(box.hwndItem);
    }
    return windows;
}

}  // namespace

MainWindow::MainWindow(HINSTANCE instance, ports::PortOpener& ports,
                       window::SettingsStore& settings, PlaceStore* places)
    : instance_(instance), ports_(ports), places_(places) {
    WNDCLASSEXW windowClass{};
    if (!GetClassInfoExW(instance, kClassName, &windowClass)) {
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &MainWindow::windowProc;
        windowClass.hInstance = instance;
        windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
        windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        windowClass.lpszClassName = kClassName;
        RegisterClassExW(&windowClass);
    }
    backBrush_ = CreateSolidBrush(window::kBackColour);
    fileBrush_ = CreateSolidBrush(backgroundOf(Control::FileName));
    portBoxBrush_ = CreateSolidBrush(backgroundOf(Control::PortBox));
    window_ = CreateWindowExW(kWindowExStyle, kClassName, windowTitle().c_str(), kWindowStyle,
                              CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, nullptr, nullptr, instance, this);
    dpi_ = static_cast<int>(GetDpiForWindow(window_));
    createFonts();
    createControls();
    placeControls();
    model_ = std::make_unique<window::WindowModel>(window::Services{
        .ports = ports, .settings = settings, .face = *this, .sha256 = platform::sha256});
}

MainWindow::~MainWindow() {
    // The model's thread may still wake the window until the model is gone.
    model_.reset();
    if (window_) DestroyWindow(window_);
    for (HGDIOBJ object : {static_cast<HGDIOBJ>(font_), static_cast<HGDIOBJ>(boldFont_),
                           static_cast<HGDIOBJ>(backBrush_), static_cast<HGDIOBJ>(statusBrush_),
                           static_cast<HGDIOBJ>(fileBrush_), static_cast<HGDIOBJ>(portBoxBrush_)}) {
        if (object) DeleteObject(object);
    }
}

void MainWindow::createFonts() {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0,
                               static_cast<UINT>(dpi_));
    LOGFONTW font = metrics.lfMessageFont;
    font.lfHeight = -scaled(kFontPixelsAt96, dpi_);
    font.lfWidth = 0;
    font.lfWeight = FW_NORMAL;
    HFONT normal = CreateFontIndirectW(&font);
    font.lfWeight = FW_BOLD;
    HFONT bold = CreateFontIndirectW(&font);
    for (const ControlEntry& entry : kControls) {
        if (HWND c = control(entry.control)) {
            SendMessageW(c, WM_SETFONT,
                         reinterpret_cast<WPARAM>(isBold(entry.control) ? bold : normal), TRUE);
        }
    }
    if (font_) DeleteObject(font_);
    if (boldFont_) DeleteObject(boldFont_);
    font_ = normal;
    boldFont_ = bold;
}

void MainWindow::createControls() {
    for (const ControlEntry& entry : kControls) {
        HWND c = CreateWindowExW(
            entry.exStyle, entry.windowClass, wide(window::designOf(entry.control).caption).c_str(),
            WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | entry.style, 0, 0, 0, 0, window_,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(idOf(entry.control))), instance_, nullptr);
        controls_[static_cast<int>(entry.control)] = c;
        SendMessageW(c, WM_SETFONT,
                     reinterpret_cast<WPARAM>(isBold(entry.control) ? boldFont_ : font_), FALSE);
    }
    ShowWindow(control(Control::Details), SW_HIDE);
    EnableWindow(control(Control::ClosePort), FALSE);
    EnableWindow(control(Control::Download), FALSE);
    SendMessageW(control(Control::Bar), PBM_SETRANGE32, 0, 10);

    // The port box's text is centred, as in the design.
    COMBOBOXINFO box{};
    box.cbSize = sizeof box;
    if (GetComboBoxInfo(control(Control::PortBox), &box) && box.hwndItem) {
        SetWindowLongPtrW(box.hwndItem, GWL_STYLE,
                          GetWindowLongPtrW(box.hwndItem, GWL_STYLE) | ES_CENTER);
    }

    tips_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                            WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT,
                            CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr, instance_, nullptr);
    // Long tips (a file's path and digest) wrap instead of running off the screen.
    SendMessageW(tips_, TTM_SETMAXTIPWIDTH, 0, scaled(480, dpi_));
    for (const ControlEntry& entry : kControls)
        addTool(entry.control, wide(window::designOf(entry.control).tip));
}

void MainWindow::addTool(Control c, const std::wstring& text) {
    for (HWND w : tipWindows(control(c), c == Control::PortBox)) {
        TOOLINFOW tool{};
        tool.cbSize = sizeof tool;
        tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        tool.hwnd = window_;
        tool.uId = reinterpret_cast<UINT_PTR>(w);
        tool.lpszText = const_cast<wchar_t*>(text.c_str());
        SendMessageW(tips_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }
}

void MainWindow::setTip(Control c, const std::wstring& text) {
    for (HWND w : tipWindows(control(c), c == Control::PortBox)) {
        TOOLINFOW tool{};
        tool.cbSize = sizeof tool;
        tool.hwnd = window_;
        tool.uId = reinterpret_cast<UINT_PTR>(w);
        tool.hinst = instance_;
        tool.lpszText = const_cast<wchar_t*>(text.c_str());
        SendMessageW(tips_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
    }
}

void MainWindow::placeControls() {
    layout_ = layoutAt(dpi_);
    for (const ControlEntry& entry : kControls) {
        Rect r = layout_[entry.control];
        if (entry.control == Control::PortBox) {
            // A combo box's height includes its drop-down list; the field's own height is
            // set through its item height.
            const int field = r.height;
            const int item = scaled(kFontPixelsAt96 + 5, dpi_);
            r.height = field + kListedPorts * item;
            SendMessageW(control(entry.control), CB_SETITEMHEIGHT, static_cast<WPARAM>(-1),
                         std::max(1, field - scaled(6, dpi_)));
            SendMessageW(control(entry.control), CB_SETITEMHEIGHT, 0, item);
        }
        if (entry.control == Control::Details) r.height = detailsHeight_;
        MoveWindow(control(entry.control), r.left, r.top, r.width, r.height, TRUE);
    }
    RECT frame{0, 0, layout_.clientWidth, clientHeightWithDetails(layout_, detailsHeight_, dpi_)};
    AdjustWindowRectExForDpi(&frame, kWindowStyle, FALSE, kWindowExStyle, static_cast<UINT>(dpi_));
    SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    centreFileName();
}

void MainWindow::centreFileName() {
    HWND box = control(Control::FileName);
    RECT area{};
    GetClientRect(box, &area);
    HDC dc = GetDC(box);
    HGDIOBJ old = SelectObject(dc, boldFont_);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(box, dc);
    area.top = centredTop(area.bottom, metrics.tmHeight);
    SendMessageW(box, EM_SETRECTNP, 0, reinterpret_cast<LPARAM>(&area));
    InvalidateRect(box, nullptr, TRUE);
}

// The first time centred on the monitor the window opened on; then where the user left it, as
// long as that is still on a monitor.
void MainWindow::placeWindow() {
    RECT frame{};
    GetWindowRect(window_, &frame);
    std::optional<Point> remembered = places_ ? places_->loadPlace() : std::nullopt;
    HMONITOR monitor = nullptr;
    if (remembered) {
        monitor = MonitorFromPoint(POINT{remembered->x, remembered->y}, MONITOR_DEFAULTTONULL);
        if (!monitor) remembered.reset();
    }
    if (!monitor) monitor = MonitorFromWindow(window_, MONITOR_DEFAULTTOPRIMARY);
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (!GetMonitorInfoW(monitor, &info)) return;
    const RECT& w = info.rcWork;
    const Point place = windowPlace(remembered, frame.right - frame.left, frame.bottom - frame.top,
                                    Rect{w.left, w.top, w.right - w.left, w.bottom - w.top});
    SetWindowPos(window_, nullptr, place.x, place.y, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void MainWindow::rememberPlace() {
    RECT frame{};
    if (!places_ || IsIconic(window_) || !GetWindowRect(window_, &frame)) return;
    places_->savePlace(Point{frame.left, frame.top});
}

void MainWindow::show(int showCommand, const std::optional<std::filesystem::path>& image) {
    placeWindow();
    ShowWindow(window_, showCommand);
    UpdateWindow(window_);
    SetFocus(control(Control::PortBox));
    apply(model_->start(image));
}

int MainWindow::run() {
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        // Alt+D stops a running download: the button reads Stop then, its key stays.
        if (window_ && model_ && model_->state().busy && message.message == WM_SYSKEYDOWN &&
            message.wParam == 'D') {
            apply(model_->stop());
            continue;
        }
        // Tab, Enter, Escape and the buttons' mnemonics as in a dialog.
        if (window_ && IsDialogMessageW(window_, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

void MainWindow::wake() {
    if (!wakePosted_.exchange(true)) PostMessageW(window_, kWakeMessage, 0, 0);
}

void MainWindow::onWake() {
    wakePosted_ = false;
    if (!guard_.mayPoll()) return;
    while (std::optional<window::Effects> effects = model_->poll()) apply(std::move(*effects));
}

void MainWindow::apply(window::Effects effects) {
    const window::EffectsGuard::Showing showing(guard_);
    for (;;) {
        draw();
        for (const window::Message& m : effects.messages) {
            MessageBoxW(window_, withCrLf(m.text).c_str(), wide(m.title).c_str(),
                        MB_OK | boxIcon(m.icon));
        }
        if (effects.beep) MessageBeep(MB_OK);
        if (effects.awaitsAnswer) model_->answer();
        if (effects.close) {
            PostMessageW(window_, WM_CLOSE, 0, 0);
            break;
        }
        if (effects.closeQuestion) {
            effects = model_->closeAnswered(askToStop(window_, *effects.closeQuestion));
            continue;
        }
        if (!effects.dialogAt) break;
        effects = model_->fileChosen(askForImage(*effects.dialogAt));
    }
    draw();
}

void MainWindow::draw() {
    const window::State& s = model_->state();
    HWND portBox = control(Control::PortBox);
    // The box shows the model's port text when that changes; a text typed or set into the box
    // meanwhile stays until the model takes it.
    if (s.portText != drawnPortText_) {
        drawnPortText_ = s.portText;
        setText(portBox, wide(s.portText));
        // A port text wider than the box shows its end, where "ttyUSB0" or "COM12" differ.
        SendMessageW(portBox, CB_SETEDITSEL, 0, MAKELPARAM(-1, -1));
    }
    setTip(Control::PortBox, windowText(portBox));

    EnableWindow(portBox, s.enabled.portBox);
    EnableWindow(control(Control::OpenPort), s.enabled.openPort);
    EnableWindow(control(Control::ClosePort), s.enabled.closePort);
    EnableWindow(control(Control::ChooseFile), s.enabled.chooseFile);
    // One button, one place: Download while idle, Stop while a download runs.
    setText(control(Control::Download),
            s.busy ? L"Stop" : wide(window::designOf(Control::Download).caption));
    EnableWindow(control(Control::Download), s.busy ? s.enabled.stop : s.enabled.download);

    InvalidateRect(control(Control::LineSettings), nullptr, TRUE);
    setTip(Control::LineSettings, wide(s.portError));

    setText(control(Control::FileName), wide(s.fileName));
    setTip(Control::FileName, withCrLf(s.fileTip));

    const COLORREF colour = window::statusColour(s.severity);
    const std::wstring status = wide(s.status);
    if (colour != statusColour_ || !statusBrush_) {
        if (statusBrush_) DeleteObject(statusBrush_);
        statusBrush_ = CreateSolidBrush(colour);
        statusColour_ = colour;
        InvalidateRect(control(Control::Status), nullptr, TRUE);
    }
    if (status != shownStatus_) {
        shownStatus_ = status;
        HWND box = control(Control::Status);
        SetWindowTextW(box, status.c_str());
        // A long message does not fit the box; its tool tip shows all of it.
        HDC dc = GetDC(box);
        HGDIOBJ old = SelectObject(dc, boldFont_);
        SIZE size{};
        GetTextExtentPoint32W(dc, status.c_str(), static_cast<int>(status.size()), &size);
        SelectObject(dc, old);
        ReleaseDC(box, dc);
        setTip(Control::Status,
               size.cx < layout_[Control::Status].width - scaled(8, dpi_) ? L"" : status);
    }

    HWND bar = control(Control::Bar);
    const int barMax = std::max(1, s.barMax);
    SendMessageW(bar, PBM_SETRANGE32, 0, barMax);
    SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(std::clamp(s.barValue, 0, barMax)), 0);
    setTip(Control::Bar, wide(s.barTip));

    showDetails(s.details);

    if (s.busyPointer != busyPointer_) {
        busyPointer_ = s.busyPointer;
        POINT at{};
        GetCursorPos(&at);
        RECT area{};
        GetWindowRect(window_, &area);
        if (PtInRect(&area, at))
            SetCursor(LoadCursorW(nullptr, busyPointer_ ? IDC_WAIT : IDC_ARROW));
    }
}

void MainWindow::showDetails(const std::string& text) {
    const std::wstring shown = withCrLf(text);
    if (shown == shownDetails_) return;
    shownDetails_ = shown;
    HWND details = control(Control::Details);
    int height = 0;
    if (!shown.empty()) {
        RECT r{0, 0, layout_[Control::Details].width, 0};
        HDC dc = GetDC(details);
        HGDIOBJ old = SelectObject(dc, font_);
        DrawTextW(dc, shown.c_str(), static_cast<int>(shown.size()), &r,
                  DT_CALCRECT | DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX);
        SelectObject(dc, old);
        ReleaseDC(details, dc);
        height = r.bottom - r.top + scaled(2, dpi_);
    }
    SetWindowTextW(details, shown.c_str());
    ShowWindow(details, shown.empty() ? SW_HIDE : SW_SHOWNA);
    if (height != detailsHeight_) {
        detailsHeight_ = height;
        placeControls();
    }
}

std::optional<std::filesystem::path> MainWindow::askForImage(const std::filesystem::path& start) {
    std::wstring file(32768, L'\0');
    std::wstring folder;
    std::error_code error;
    if (std::filesystem::is_directory(start, error)) {
        folder = start.wstring();
    } else {
        folder = start.parent_path().wstring();
        const std::wstring name = start.filename().wstring();
        std::copy_n(name.begin(), std::min(name.size(), file.size() - 1), file.begin());
    }
    static const wchar_t kFilter[] = L"Motorola Extendex [*.SHX]\0*.shx\0All files (*)\0*.*\0";
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = window_;
    dialog.lpstrFilter = kFilter;
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = static_cast<DWORD>(file.size());
    dialog.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
    dialog.Flags =
        OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    if (!GetOpenFileNameW(&dialog)) return std::nullopt;
    return std::filesystem::path(file.c_str());
}

void MainWindow::openPort() {
    model_->setPortText(utf8(windowText(control(Control::PortBox))));
    apply(model_->openPort());
}

void MainWindow::onEnter() {
    // Enter in the port box opens the port; on a button it presses that button.
    HWND focus = GetFocus();
    HWND portBox = control(Control::PortBox);
    if (focus == portBox || GetParent(focus) == portBox) {
        if (IsWindowEnabled(control(Control::OpenPort))) openPort();
        return;
    }
    for (Control c :
         {Control::OpenPort, Control::ClosePort, Control::ChooseFile, Control::Download}) {
        if (focus == control(c) && IsWindowEnabled(focus)) onCommand(idOf(c), BN_CLICKED);
    }
}

void MainWindow::onCommand(int id, int code) {
    if (id == IDOK) {
        onEnter();
        return;
    }
    const auto c = static_cast<Control>(id - kFirstControlId);
    if (c == Control::PortBox) {
        HWND box = control(Control::PortBox);
        if (code == CBN_DROPDOWN) fillPortList();
        if (code == CBN_EDITCHANGE) model_->setPortText(utf8(windowText(box)));
        if (code == CBN_SELENDOK) {
            const LRESULT index = SendMessageW(box, CB_GETCURSEL, 0, 0);
            if (index >= 0 && static_cast<std::size_t>(index) < choices_.size()) {
                model_->setPortText(choices_[static_cast<std::size_t>(index)].text);
                setTip(Control::PortBox, wide(choices_[static_cast<std::size_t>(index)].text));
            }
        }
        return;
    }
    if (code != BN_CLICKED) return;
    switch (c) {
        case Control::OpenPort:
            openPort();
            break;
        case Control::ClosePort:
            apply(model_->closePort());
            break;
        case Control::ChooseFile:
            apply(model_->chooseFile());
            break;
        case Control::Download:
            apply(model_->state().busy ? model_->stop() : model_->download());
            break;
        default:
            break;
    }
}

void MainWindow::fillPortList() {
    HWND box = control(Control::PortBox);
    const std::wstring typed = windowText(box);
    choices_ = ports_.listChoices();
    SendMessageW(box, CB_RESETCONTENT, 0, 0);
    // Measured as drawPortChoice draws an item: margin, name, gap, description, margin; then
    // the list's borders and, when it scrolls, its scroll bar.
    int widest = 0;
    HDC dc = GetDC(box);
    HGDIOBJ old = SelectObject(dc, font_);
    const auto width = [dc](const std::wstring& text) {
        SIZE size{};
        GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
        return static_cast<int>(size.cx);
    };
    for (const ports::PortChoice& choice : choices_) {
        const std::wstring text = wide(choice.text);
        SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
        widest = std::max(widest, scaled(3, dpi_) + width(text) + scaled(12, dpi_) +
                                      width(wide(choice.description)) + scaled(6, dpi_));
    }
    SelectObject(dc, old);
    ReleaseDC(box, dc);
    const UINT dpi = static_cast<UINT>(dpi_);
    widest += 2 * GetSystemMetricsForDpi(SM_CXEDGE, dpi);
    if (choices_.size() > static_cast<std::size_t>(kListedPorts))
        widest += GetSystemMetricsForDpi(SM_CXVSCROLL, dpi);
    widest = std::max(widest, layout_[Control::PortBox].width);
    // The box is narrow; the list is as wide as its names and descriptions need.
    SendMessageW(box, CB_SETDROPPEDWIDTH, static_cast<WPARAM>(widest), 0);
    SetWindowTextW(box, typed.c_str());
}

void MainWindow::drawPortChoice(const DRAWITEMSTRUCT& item) {
    const bool selected = (item.itemState & ODS_SELECTED) != 0;
    HDC dc = item.hDC;
    FillRect(dc, &item.rcItem, GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
    if (item.itemID == static_cast<UINT>(-1) || item.itemID >= choices_.size()) return;
    const ports::PortChoice& choice = choices_[item.itemID];
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
    HGDIOBJ old = SelectObject(dc, font_);
    RECT r = item.rcItem;
    r.left += scaled(3, dpi_);
    const std::wstring text = wide(choice.text);
    DrawTextW(dc, text.c_str(), -1, &r, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    r.left += size.cx + scaled(12, dpi_);
    const std::wstring description = wide(choice.description);
    DrawTextW(dc, description.c_str(), -1, &r,
              DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
    SelectObject(dc, old);
}

void MainWindow::dropFiles(HDROP drop) {
    // One image at a time: the first file dropped is the one chosen.
    const UINT length = DragQueryFileW(drop, 0, nullptr, 0);
    std::wstring name(length + 1, L'\0');
    DragQueryFileW(drop, 0, name.data(), length + 1);
    name.resize(length);
    DragFinish(drop);
    // While a download runs no file is taken, as the file button is disabled then.
    if (!name.empty() && model_->state().enabled.chooseFile)
        apply(model_->dropFile(std::filesystem::path(name)));
}

LRESULT MainWindow::colourFor(HWND c, HDC dc) {
    if (c == control(Control::Status)) {
        SetBkColor(dc, statusColour_);
        SetTextColor(dc, textOf(Control::Status));
        return reinterpret_cast<LRESULT>(statusBrush_);
    }
    if (c == control(Control::FileName)) {
        SetBkColor(dc, backgroundOf(Control::FileName));
        SetTextColor(dc, textOf(Control::FileName));
        return reinterpret_cast<LRESULT>(fileBrush_);
    }
    if (GetParent(c) == control(Control::PortBox)) {
        SetBkColor(dc, backgroundOf(Control::PortBox));
        SetTextColor(dc, textOf(Control::PortBox));
        return reinterpret_cast<LRESULT>(portBoxBrush_);
    }
    if (c == control(Control::LineSettings))
        SetTextColor(dc, window::portColour(model_ && model_->state().portOpen));
    SetBkColor(dc, window::kBackColour);
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<LRESULT>(backBrush_);
}

LRESULT CALLBACK MainWindow::windowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_NCCREATE) {
        auto* self = static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTW*>(l)->lpCreateParams);
        self->window_ = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_NCDESTROY) SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    if (!self || !self->window_) return DefWindowProcW(window, message, w, l);
    return self->handle(message, w, l);
}

LRESULT MainWindow::handle(UINT message, WPARAM w, LPARAM l) {
    switch (message) {
        case kWakeMessage:
            if (model_) onWake();
            return 0;
        case WM_COMMAND:
            if (model_) onCommand(LOWORD(w), HIWORD(w));
            return 0;
        case WM_DROPFILES:
            if (model_) dropFiles(reinterpret_cast<HDROP>(w));
            return 0;
        case WM_MEASUREITEM: {
            auto* item = reinterpret_cast<MEASUREITEMSTRUCT*>(l);
            item->itemHeight = static_cast<UINT>(scaled(kFontPixelsAt96 + 5, dpi_));
            return TRUE;
        }
        case WM_DRAWITEM:
            drawPortChoice(*reinterpret_cast<DRAWITEMSTRUCT*>(l));
            return TRUE;
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORBTN:
            return colourFor(reinterpret_cast<HWND>(l), reinterpret_cast<HDC>(w));
        case WM_ERASEBKGND: {
            RECT area{};
            GetClientRect(window_, &area);
            FillRect(reinterpret_cast<HDC>(w), &area, backBrush_);
            return TRUE;
        }
        case WM_SETCURSOR:
            if (busyPointer_) {
                SetCursor(LoadCursorW(nullptr, IDC_WAIT));
                return TRUE;
            }
            break;
        case WM_DPICHANGED: {
            // The window keeps the place the system suggests and takes the size it needs.
            const auto* suggested = reinterpret_cast<const RECT*>(l);
            SetWindowPos(window_, nullptr, suggested->left, suggested->top, 0, 0,
                         SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
            dpi_ = HIWORD(w);
            createFonts();
            SendMessageW(tips_, TTM_SETMAXTIPWIDTH, 0, scaled(480, dpi_));
            shownDetails_.clear();
            showDetails(model_ ? model_->state().details : std::string());
            placeControls();
            return 0;
        }
        case WM_CLOSE:
            // A running download keeps the window unless the user stops it: closing at once
            // would leave the controller in programming mode. Stopped, the download posts the
            // close again once its exit frame is out.
            if (model_ && !model_->mayClose()) {
                if (guard_.mayAskToClose()) apply(model_->closeRequested());
                return 0;
            }
            rememberPlace();
            DestroyWindow(window_);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            window_ = nullptr;
            return 0;
        default:
            break;
    }
    return DefWindowProcW(window_, message, w, l);
}

}  // namespace korvath::ui_win32
