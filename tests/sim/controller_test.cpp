#include "sim/controller.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include "frames.h"
#include "link/protocol.h"
#include "sim/line.h"

namespace korvath::sim {
namespace {

using namespace test;

constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;

/// A controller fed at line rate, one request at a time.
class Device {
  public:
    explicit Device(const Options& options = {}) : controller(options) {}
    explicit Device(int model) : controller(withModel(model)) {}

    /// Every response the bytes produce.
    std::vector<Response> send(const Bytes& bytes) {
        std::vector<Response> responses;
        for (auto b : bytes) {
            nowMs += kByteTimeMs;
            if (auto r = controller.receive(b, nowMs)) responses.push_back(*r);
        }
        return responses;
    }

    /// The reply bytes of the one response the request must produce; nullopt when none.
    std::optional<Bytes> ask(const Bytes& bytes) {
        auto responses = send(bytes);
        if (responses.empty()) return std::nullopt;
        EXPECT_EQ(responses.size(), 1u);
        return responses.back().bytes;
    }

    /// The first reply byte, or -1 for no response or an empty reply.
    int answer(const Bytes& bytes) {
        auto reply = ask(bytes);
        return reply && !reply->empty() ? (*reply)[0] : -1;
    }

    void unlock() { ASSERT_EQ(answer(password(passwordOf(controller.options().model))), kAck); }

    static Options withModel(int model) {
        Options o;
        o.model = model;
        return o;
    }
    static std::string_view passwordOf(int model) {
        return link::protocol::kModels[static_cast<std::size_t>(model - 1)].password;
    }

    Controller controller;
    double nowMs = 0;
};

TEST(ControllerFraming, AnswersGoodRequestsAndRefusesDamagedFrames) {
    Bytes badChecksum = exitFrame();
    badChecksum[4] ^= 0x01;
    Bytes highBitMissing = exitFrame();
    highBitMissing[5] = 0x00;
    Bytes badTerminator = {0x1B, 0x7E, 0x00, 0x05, 0x9E, 0x80};  // checksum right for the bytes
    struct Case {
        const char* name;
        Bytes request;
        int reply;
    } cases[] = {
        {"probe", probe(), kAck},
        {"exit", exitFrame(), kAck},
        {"bad checksum low", badChecksum, kNak},
        {"bad checksum high", highBitMissing, kNak},
        {"bad terminator", badTerminator, kNak},
        {"unknown letter", frame('q', {1, 2}), kNak},
        {"blank check with two operands", frame('w', {10, 11}), kNak},
        {"program frame too short", frame('t', Bytes(66, 0xFF)), kNak},
        {"count no client can send", {0x1B, 0x74, 0x60}, kNak},
    };
    for (const auto& c : cases) {
        Device device;
        EXPECT_EQ(device.answer(c.request), c.reply) << c.name;
    }
}

TEST(ControllerFraming, ResyncsAfterNoiseAndAfterAnAbandonedFrame) {
    Device device;
    // Noise between requests is ignored.
    EXPECT_EQ(device.send({0x00, 0x42, 0xFF, 0x06}).size(), 0u);
    EXPECT_EQ(device.answer(probe()), kAck);

    // A frame cut short: once the line has been idle long enough, a probe is a probe again.
    EXPECT_EQ(device.send({0x1B, 0x73, 0x06, 'K'}).size(), 0u);
    device.nowMs += kFrameGapMs + 1;
    EXPECT_EQ(device.answer(probe()), kAck);

    // After a refused frame the next request is read from its first byte.
    EXPECT_EQ(device.answer(frame('q', {})), kNak);
    EXPECT_EQ(device.answer(probe()), kAck);
}

TEST(ControllerFraming, ProbeByteInsideAFrameIsData) {
    Device device;
    device.unlock();
    Bytes data = record();
    std::fill(data.begin(), data.end(), 0x90);
    EXPECT_EQ(device.answer(program(0xE00000, data)), kAck);
    EXPECT_EQ(device.controller.readFlash(0xE00000), 0x90);
}

TEST(ControllerPasswords, EachModelAcceptsOnlyItsOwnPassword) {
    for (int model = 1; model <= 3; ++model) {
        for (int position = 1; position <= 3; ++position) {
            Device device(model);
            const int reply = device.answer(password(Device::passwordOf(position)));
            EXPECT_EQ(reply, position == model ? kAck : kNak) << model << "/" << position;
            EXPECT_EQ(device.controller.unlocked(), position == model);
        }
    }
    Device device(1);
    EXPECT_EQ(device.answer(password("kpl-wu")), kNak);
    EXPECT_EQ(device.answer(password("KPL-W")), kNak);
}

TEST(ControllerPasswords, FlashCommandsAreRefusedUntilUnlocked) {
    Device device;
    EXPECT_EQ(device.answer(blankCheck(10)), kNak);
    EXPECT_EQ(device.answer(erase(10)), kNak);
    EXPECT_EQ(device.answer(program(0xE00000, record())), kNak);
    EXPECT_EQ(device.controller.readFlash(0xE00000), 0xFF);
    device.unlock();
    EXPECT_EQ(device.answer(blankCheck(10)), kAck);
}

TEST(ControllerFlash, SectorsOfEachModel) {
    struct Case {
        int model;
        int first;
        int last;
        std::uint32_t end;
    } cases[] = {{1, 10, 17, 0xE80000}, {2, 14, 21, 0xE80000}, {3, 10, 18, 0xE90000}};
    for (const auto& c : cases) {
        Device device(c.model);
        device.unlock();
        EXPECT_EQ(device.controller.flashEnd(), c.end);
        for (int sector = c.first; sector <= c.last; ++sector) {
            EXPECT_EQ(device.answer(blankCheck(sector)), kAck) << c.model << ":" << sector;
            EXPECT_EQ(device.answer(erase(sector)), kAck) << c.model << ":" << sector;
        }
        for (int sector : {c.first - 1, c.last + 1, 0, 255}) {
            EXPECT_EQ(device.answer(blankCheck(sector)), kNak) << c.model << ":" << sector;
            EXPECT_EQ(device.answer(erase(sector)), kNak) << c.model << ":" << sector;
        }
    }
}

TEST(ControllerFlash, SectorNumberMapsToItsAddressRange) {
    // Model 2 numbers its sectors from 14: sector 15 is the second 64 KiB from E00000.
    Device device(2);
    device.unlock();
    EXPECT_EQ(device.answer(program(0xE1FFC0, record())), kAck);
    EXPECT_EQ(device.answer(blankCheck(14)), kAck);
    EXPECT_EQ(device.answer(blankCheck(15)), kNak);
    EXPECT_EQ(device.answer(blankCheck(16)), kAck);
    EXPECT_EQ(device.answer(erase(15)), kAck);
    EXPECT_EQ(device.answer(blankCheck(15)), kAck);
    EXPECT_EQ(device.controller.readFlash(0xE1FFC0), 0xFF);
}

TEST(ControllerFlash, ProgramUndoesThePairSwap) {
    Device device;
    device.unlock();
    EXPECT_EQ(device.answer(program(0xE12340, record(0x10))), kAck);
    for (std::uint32_t i = 0; i < 64; ++i)
        EXPECT_EQ(device.controller.readFlash(0xE12340 + i), 0x10 + i) << i;
    EXPECT_EQ(device.controller.readFlash(0xE1233F), 0xFF);
    EXPECT_EQ(device.controller.readFlash(0xE12380), 0xFF);
}

TEST(ControllerFlash, ProgramRefusesUnerasedBytesAndAddressesOutsideTheFlash) {
    struct Case {
        int model;
        std::uint32_t address;
        int reply;
    } cases[] = {
        {1, 0xE00000, kAck}, {1, 0xE7FFC0, kAck}, {1, 0xE7FFC1, kNak},
        {1, 0xE8FFC0, kNak}, {1, 0xDFFFC0, kNak}, {1, 0xDFFFFF, kNak},
        {3, 0xE8FFC0, kAck}, {3, 0xE90000, kNak}, {2, 0x000000, kNak},
    };
    for (const auto& c : cases) {
        Device device(c.model);
        device.unlock();
        EXPECT_EQ(device.answer(program(c.address, record())), c.reply)
            << c.model << ":" << std::hex << c.address;
    }

    Device device;
    device.unlock();
    ASSERT_EQ(device.answer(program(0xE00000, record(1))), kAck);
    // Same bytes again, or a record overlapping the first by one byte: not erased.
    EXPECT_EQ(device.answer(program(0xE00000, record(1))), kNak);
    EXPECT_EQ(device.answer(program(0xE0003F, record(2))), kNak);
    EXPECT_EQ(device.controller.readFlash(0xE0003F), 64);
    EXPECT_EQ(device.controller.readFlash(0xE00040), 0xFF);  // nothing of the refused one landed
    ASSERT_EQ(device.answer(erase(10)), kAck);
    EXPECT_EQ(device.answer(program(0xE00000, record(1))), kAck);
}

TEST(ControllerRestart, ExitSilencesTheBootloaderUnlessTheCardIsIn) {
    Device plain;
    plain.unlock();
    EXPECT_EQ(plain.answer(exitFrame()), kAck);
    EXPECT_TRUE(plain.controller.restarted());
    EXPECT_EQ(plain.ask(probe()), std::nullopt);
    EXPECT_EQ(plain.ask(exitFrame()), std::nullopt);

    Options options;
    options.card = true;
    Device card(options);
    card.unlock();
    ASSERT_EQ(card.answer(program(0xE00000, record())), kAck);
    EXPECT_EQ(card.answer(exitFrame()), kAck);
    EXPECT_EQ(card.answer(probe()), kAck);
    // Restarted into the bootloader: locked again, flash kept.
    EXPECT_EQ(card.answer(blankCheck(10)), kNak);
    EXPECT_FALSE(card.controller.unlocked());
    EXPECT_EQ(card.answer(exitFrame()), kAck);
    EXPECT_EQ(card.controller.readFlash(0xE00001), 1);
}

TEST(ControllerFaults, SilentAndRefusedPasswords) {
    Options silent;
    silent.silent = true;
    Device quiet(silent);
    EXPECT_EQ(quiet.ask(probe()), std::nullopt);
    EXPECT_EQ(quiet.ask(password("KPL-WU")), std::nullopt);

    Options refuse;
    refuse.refusePasswords = true;
    Device device(refuse);
    EXPECT_EQ(device.answer(probe()), kAck);
    for (auto p : {"KPL-WU", "RB-DAM", "ZOH+VE"}) EXPECT_EQ(device.answer(password(p)), kNak);
    EXPECT_FALSE(device.controller.unlocked());
}

TEST(ControllerFaults, NakOfTheNthProgramFrameWritesNothing) {
    Options options;
    options.nakProgram = 2;
    Device device(options);
    device.unlock();
    EXPECT_EQ(device.answer(program(0xE00000, record())), kAck);
    EXPECT_EQ(device.answer(program(0xE00040, record())), kNak);
    EXPECT_EQ(device.answer(program(0xE00080, record())), kAck);
    EXPECT_EQ(device.controller.readFlash(0xE00040), 0xFF);
    EXPECT_EQ(device.answer(program(0xE00040, record())), kAck);  // only the second one fails
}

TEST(ControllerFaults, DroppedRepliesStillRunTheCommand) {
    Options options;
    options.dropEvery = 3;
    Device device(options);
    EXPECT_EQ(device.answer(probe()), kAck);                      // reply 1
    device.unlock();                                              // reply 2
    EXPECT_EQ(device.ask(program(0xE00000, record())), Bytes{});  // reply 3: dropped
    EXPECT_EQ(device.controller.readFlash(0xE00000), 0);          // but programmed
    EXPECT_EQ(device.answer(probe()), kAck);                      // 4
    EXPECT_EQ(device.answer(probe()), kAck);                      // 5
    EXPECT_EQ(device.ask(probe()), Bytes{});                      // 6
    EXPECT_EQ(device.controller.counters().replies, 6);
}

TEST(ControllerFaults, GarbledRepliesNeverContainAnAck) {
    Options options;
    options.garbleEvery = 1;
    options.longReplyEvery = 1;  // 61 bytes a reply: plenty of random draws
    for (std::uint32_t seed = 1; seed <= 20; ++seed) {
        options.seed = seed;
        Device device(options);
        for (int i = 0; i < 10; ++i) {
            auto reply = device.ask(probe());
            ASSERT_TRUE(reply);
            ASSERT_EQ(reply->size(), 1 + kLongReplyFiller);
            EXPECT_NE((*reply)[0], kAck);
        }
    }
    options.longReplyEvery = 0;
    options.garbleEvery = 2;
    Device device(options);
    EXPECT_EQ(device.answer(probe()), kAck);
    EXPECT_NE(device.answer(probe()), kAck);
    EXPECT_EQ(device.answer(probe()), kAck);
}

TEST(ControllerFaults, LongReplyIsTheReplyFollowedByFiller) {
    Options options;
    options.longReplyEvery = 2;
    Device device(options);
    EXPECT_EQ(device.ask(probe())->size(), 1u);
    auto reply = device.ask(password("RB-DAM"));
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->size(), 61u);
    EXPECT_EQ((*reply)[0], kNak);
    EXPECT_EQ(std::count(reply->begin() + 1, reply->end(), kFillerByte), 60);
}

TEST(ControllerFaults, BabbleAndUnplugAreFlaggedOnTheirRequest) {
    Options options;
    options.babbleAfter = 3;
    options.unplugAfter = 2;
    Device device(options);
    EXPECT_FALSE(device.send(probe()).at(0).babble);
    device.unlock();
    auto third = device.send(program(0xE00000, record()));
    EXPECT_TRUE(third.at(0).babble);
    EXPECT_FALSE(third.at(0).unplug);
    auto fourth = device.send(program(0xE00000, record()));  // refused, still the 2nd program frame
    EXPECT_EQ(fourth.at(0).bytes, Bytes{kNak});
    EXPECT_TRUE(fourth.at(0).unplug);
    EXPECT_FALSE(fourth.at(0).babble);
}

TEST(ControllerFaults, RefusedEraseAndDirtyFlash) {
    Options options;
    options.dirty = true;
    options.refuseEraseSector = 12;
    Device device(options);
    device.unlock();
    EXPECT_EQ(device.controller.readFlash(0xE00000), 0x00);
    for (int sector = 10; sector <= 17; ++sector) {
        EXPECT_EQ(device.answer(blankCheck(sector)), kNak) << sector;
        EXPECT_EQ(device.answer(erase(sector)), sector == 12 ? kNak : kAck) << sector;
        EXPECT_EQ(device.answer(blankCheck(sector)), sector == 12 ? kNak : kAck) << sector;
    }
    EXPECT_EQ(device.controller.readFlash(0xE20000), 0x00);
}

TEST(ControllerDump, WritesEverySectorFromTheFlashBase) {
    const std::filesystem::path path = ::testing::TempDir() + "korvath_sim_dump_test.bin";
    Device device(3);
    device.unlock();
    ASSERT_EQ(device.answer(program(0xE8FFC0, record(0x80))), kAck);
    ASSERT_TRUE(device.controller.dump(path).ok());
    std::ifstream in(path, std::ios::binary);
    const Bytes content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();  // Windows removes no file that is still open
    std::filesystem::remove(path);
    ASSERT_EQ(content.size(), 9u * 0x10000);
    EXPECT_EQ(content[0x8FFC0], 0x80);
    EXPECT_EQ(content[0x8FFFF], 0xBF);
    EXPECT_EQ(content[0], 0xFF);

    const platform::Result<void> refused = device.controller.dump("/nonexistent-dir/x.bin");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.fault().number, platform::ErrorNumber::FileNotFound);
    EXPECT_EQ(refused.fault().text,
              "cannot open /nonexistent-dir/x.bin for writing: No such file or directory");
}

/// What a driver of a line sees: each byte out with its time, how often it woke, and when the
/// line died.
struct LineRun {
    std::vector<std::pair<double, std::uint8_t>> out;
    int wakes = 0;
    double deadAtMs = -1;
};

/// Drives a line the way the real-time drivers do: sleep to the next event or the next send,
/// run the line up to then, send what is due. Stops `tailMs` after the last send.
LineRun driveLine(const Options& options, bool deliverOnSend,
                  const std::vector<std::pair<double, Bytes>>& sends, double tailMs = 60) {
    Controller controller(options);
    Line line(controller);
    line.setDeliverOnSend(deliverOnSend);
    LineRun run;
    const double endMs = sends.back().first + tailMs;
    std::size_t next = 0;
    for (;;) {
        std::optional<double> due;
        if (next < sends.size()) due = sends[next].first;
        if (auto event = line.nextEventMs(); event && (!due || *event < *due)) due = event;
        if (!due || *due > endMs) break;
        const double now = *due;
        ++run.wakes;
        line.advance(now, [&](std::uint8_t byte) { run.out.emplace_back(now, byte); });
        if (line.deadAt(now)) {
            run.deadAtMs = now;
            break;
        }
        if (next < sends.size() && sends[next].first <= now) line.send(sends[next++].second, now);
    }
    return run;
}

TEST(LineDelivery, HandingBytesOverOnSendKeepsEveryTimeAndWakesOncePerReplyByte) {
    const std::vector<std::pair<double, Bytes>> sends = {
        {0, probe()},
        {5, password("KPL-WU")},
        {10, program(0xE00000, record())},
        {40, program(0xE00040, record(1))},
        {70, Bytes{0x90, 0x90}},  // two probes back to back: two replies
        {80, exitFrame()},
        {90, probe()},  // after the restart: no reply
    };
    struct Case {
        const char* name;
        Options options;
    };
    std::vector<Case> cases(5);
    cases[0].name = "plain";
    cases[1].name = "long replies";
    cases[1].options.longReplyEvery = 2;
    cases[2].name = "unplug";
    cases[2].options.unplugAfter = 1;
    cases[3].name = "babble";
    cases[3].options.babbleAfter = 3;
    cases[4].name = "no pacing";
    cases[4].options.pacing = false;
    for (const auto& c : cases) {
        const LineRun queued = driveLine(c.options, false, sends);
        const LineRun direct = driveLine(c.options, true, sends);
        EXPECT_EQ(direct.out, queued.out) << c.name;
        EXPECT_EQ(direct.deadAtMs, queued.deadAtMs) << c.name;
        if (c.options.babbleAfter == 0) {
            // Handed over on send, only reply bytes and sends wake the driver.
            EXPECT_LE(direct.wakes, static_cast<int>(direct.out.size() + sends.size()) + 1)
                << c.name;
        }
    }
    const LineRun plain = driveLine({}, true, sends);
    ASSERT_EQ(plain.out.size(), 7u);  // probe, password, 2 records, 2 probes, exit
    // A record's ACK: its 73 bytes and the ACK cross the line, plus the programming time.
    EXPECT_NEAR(plain.out[2].first, 10 + 74 * kByteTimeMs + Options{}.programMs, 1e-6);
    EXPECT_NEAR(plain.out[5].first - plain.out[4].first, kByteTimeMs, 1e-6);
    EXPECT_EQ(driveLine(cases[2].options, true, sends).deadAtMs, 40 + kByteTimeMs);
}

}  // namespace
}  // namespace korvath::sim
