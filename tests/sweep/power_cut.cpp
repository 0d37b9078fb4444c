// power_cut.cpp - the bench: the devices of one update on the test backend, the cut,
// and the technician who reads the screen and follows it.
#include "tests/sweep/power_cut.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <set>

#include "base/screen.h"
#include "images/images.h"
#include "link/link.h"
#include "platform/platform.h"
#include "shell/shell.h"
#include "sim/model/sim.h"
#include "tests/backend/sim_plug.h"
#include "tests/backend/testbed.h"
#include "update/languages.h"

namespace sweep {

namespace {

using Bytes = std::vector<uint8_t>;

const int KEY_ENTER = 13;
const int MOST_TRIES = 3;
const uint32_t BLOCK1 = 0x1000, BLOCK1_END = 0x2000;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

Bytes Padded(const uint8_t* image, uint32_t size, size_t flashSize) {
    Bytes b(flashSize, 0xFF);
    memcpy(b.data(), image, std::min<size_t>(size, flashSize));
    return b;
}

// Requests that change flash: the sweep cuts them half-way through their work.
bool ChangesFlash(const std::string& kind) {
    static const std::set<std::string> KINDS{"erase", "program", "vprogram", "write", "boot40", "boot50", "boot55"};
    return KINDS.count(kind) != 0;
}
bool IsErase(const std::string& kind) { return kind == "erase" || kind == "boot40"; }
bool IsWrite(const std::string& kind) {
    return kind == "program" || kind == "vprogram" || kind == "write" || kind == "boot50" || kind == "bootdata";
}

int CommandOf(Update u) {
    switch (u) {
        case Update::ConsoleUser:
        case Update::ConsoleBoot: return CMD_UPDATE_CONSOLE;
        case Update::VinculumCable: return CMD_VINCULUM_CABLE;
        case Update::RemoteUser:
        case Update::RemoteService: return CMD_UPDATE_REMOTE;
        case Update::ReceiverUser:
        case Update::ReceiverService: return CMD_UPDATE_RECEIVER;
        case Update::TempaBox: return CMD_UPDATE_TEMPABOX;
    }
    return CMD_UPDATE_CONSOLE;
}

bool IsReceiver(Update u) { return u == Update::ReceiverUser || u == Update::ReceiverService; }
bool IsPeripheral(Update u) {
    return u == Update::RemoteUser || u == Update::ReceiverUser || u == Update::RemoteService ||
           u == Update::ReceiverService;
}
bool IsService(Update u) { return u == Update::RemoteService || u == Update::ReceiverService; }

// A scratch working directory for the program's TEMP and log, as the window leaves it.
class Session {
public:
    Session() {
        char buffer[4096];
        previous_ = getcwd(buffer, sizeof buffer) ? buffer : "/tmp";
        char pattern[] = "/tmp/kqsweep.XXXXXX";
        scratch_ = mkdtemp(pattern) ? pattern : "/tmp";
        if (chdir(scratch_.c_str()) != 0) abort();
        testbed::Reset();
        LanguageFlag = 1;
        ScreenClear();
        LogFilePath[0] = 0;
        PlatMakeDirectory("TEMP");
        ShellCreate();
        ParseCommandLine("ST");
    }
    ~Session() {
        testbed::SetOperator(nullptr);
        LinkThreadStop();
        ClosePipes();
        if (chdir(previous_.c_str()) != 0) return;
        std::string command = "rm -rf '" + scratch_ + "'";
        if (system(command.c_str()) != 0) return;
    }

private:
    std::string previous_, scratch_;
};

// The devices of one update, their jumpers, and the technician.
class Bench {
public:
    explicit Bench(Update update) : update_(update) {
        unit_ = IsReceiver(update) ? (sim::Unit*)&receiver_ : (sim::Unit*)&remote_;
        // The console and its processor's boot program write one chip.
        console_.KnowFirmware(ImageConsole);
        boot_.ShareFlash(console_.FlashMemory());
        consolePlug_.reset(new sim::TestbedPlug(&console_, false));
        bootPlug_.reset(new sim::TestbedPlug(&boot_, false));
        // A Remote or Receiver and its boot program likewise.
        const uint8_t* image = IsReceiver(update) ? ImageReceiver : ImageRemote;
        uint32_t size = IsReceiver(update) ? RECEIVER_IMAGE_SIZE : REMOTE_IMAGE_SIZE;
        image_ = Padded(image, size, unit_->Flash().size());
        unit_->KnowFirmware(image_);
        peer_.ShareFlash(unit_->SharedFlash());
        calibration_ = unit_->Calibration();

        if (update == Update::ConsoleBoot) {
            // A console that lost its firmware: only its boot mode is left.
            console_.FlashMemory()->Erase(0, sim::Console::kBlockSize);
        }
        if (console_.FirmwareWhole()) consolePlug_->Plug();
        if (IsService(update)) {
            unit_->FlashMemory().Erase(0, sim::Unit::kBlockSize);  // its firmware area is broken
            unit_->PowerOn();
        }
        if (IsPeripheral(update)) console_.KqLink().Attach(unit_);
        if (update == Update::TempaBox) console_.KqLink().Attach(&tempa_);
    }
    ~Bench() {
        testbed::SetOperator(nullptr);
        console_.KqLink().Detach(unit_);
        console_.KqLink().Detach(&peer_);
        console_.KqLink().Detach(&tempa_);
    }

    // The model that carries the requests of the update (and its cut).
    sim::Model* Target() {
        switch (update_) {
            case Update::ConsoleUser:
            case Update::VinculumCable: return &console_;
            case Update::ConsoleBoot: return &boot_;
            case Update::RemoteUser:
            case Update::ReceiverUser: return unit_;
            case Update::RemoteService:
            case Update::ReceiverService: return &peer_;
            case Update::TempaBox: return &tempa_;
        }
        return &console_;
    }

    // Runs the menu command with the technician at the keyboard; true when the program
    // said the unit is updated.
    bool RunCommand() {
        testbed::SetLanguageDialogButtons({303, 305});  // English alone
        testbed::SetOperator([this] { Look(); });
        size_t before = testbed::Transcript().size();
        try {
            ShellCommand(CommandOf(update_));
        } catch (const testbed::ProcessExit&) {
            note_ += " (the program ended)";
        }
        testbed::SetOperator(nullptr);
        std::string said = testbed::Transcript().substr(std::min(before, testbed::Transcript().size()));
        // "Switch off or disconnect of KQ-LINK, remove jumper(s)": the technician does.
        if (Contains(said, "remove jumper(s)")) PeripheralJumper(false);
        return Contains(said, " Updated") || Contains(said, "...OK...");
    }

    // The power comes back after the cut: whatever was cut starts from its flash.
    void PowerBack() {
        if (console_.PoweredOff()) ConsoleOn();
        if (boot_.PoweredOff()) {
            boot_.PowerOn();
            if (consoleJumper_) bootPlug_->Plug();
        }
        if (unit_->PoweredOff()) unit_->PowerOn();
        if (peer_.PoweredOff()) peer_.PowerOn();
        if (tempa_.PoweredOff()) tempa_.PowerOn();
    }

    // After the technician is done: jumpers off, switched off and on; the unit must
    // hold the image and start by itself.
    void Judge(Outcome* out) {
        if (update_ == Update::ConsoleUser || update_ == Update::ConsoleBoot || update_ == Update::VinculumCable) {
            ConsoleJumper(false);
            bool starts = console_.PowerOn();
            bool image = update_ == Update::VinculumCable
                             ? console_.VinculumFlash() == Bytes(ImageVinculum, ImageVinculum + VINCULUM_IMAGE_SIZE)
                             : console_.Flash() == Bytes(FlashBuffer, FlashBuffer + FLASH_SIZE);
            out->recovered = starts && image;
            if (!starts) out->note += " console does not start";
            if (!image) out->note += " flash differs";
        } else if (update_ == Update::TempaBox) {
            out->recovered = tempa_.Flash() == Padded(ImageTempa, TEMPA_IMAGE_SIZE, tempa_.Flash().size());
            if (!out->recovered) out->note += " flash differs";
        } else {
            PeripheralJumper(false);
            bool starts = unit_->PowerOn();
            const Bytes& flash = unit_->Flash();
            bool firmware = std::equal(flash.begin(), flash.begin() + BLOCK1, image_.begin()) &&
                            std::equal(flash.begin() + BLOCK1_END, flash.end(), image_.begin() + BLOCK1_END);
            Bytes block1(flash.begin() + BLOCK1, flash.begin() + BLOCK1_END);
            out->calibrationKept = block1 == calibration_;
            bool asEmbedded = std::equal(block1.begin(), block1.end(), image_.begin() + BLOCK1);
            out->recovered = starts && firmware && (out->calibrationKept || asEmbedded);
            if (!starts) out->note += " unit does not announce";
            if (!firmware) out->note += " firmware area differs";
        }
    }

    std::string note_;

private:
    // The technician reads the newest prompt on the screen and answers it once.
    void Look() {
        std::string screen = testbed::ScreenText();
        if (screen == answered_) return;
        answered_ = screen;
        struct Prompt {
            const char* text;
            void (Bench::*act)();
        };
        static const Prompt PROMPTS[] = {
            {"put BOOT-Jumper", &Bench::SetConsoleJumper},
            {"remove BOOT-Jumper", &Bench::RemoveConsoleJumper},
            {"TECHNICAL SERVICE update?", &Bench::SetPeripheralJumper},
            {"switch on Remote", &Bench::SwitchOnPeripheral},
            {"switch on Receiver", &Bench::SwitchOnPeripheral},
            {"switch on Tempa BOX", &Bench::SwitchOnPeripheral},
        };
        // The prompt is in the last lines the program printed (three for the longest).
        size_t tailFrom = screen.size();
        for (int lines = 0; lines < 3 && tailFrom > 0;) {
            size_t end = tailFrom;
            tailFrom = screen.rfind('\n', end - 1);
            tailFrom = tailFrom == std::string::npos ? 0 : tailFrom;
            if (screen.find_first_not_of(" \n", tailFrom) < end) lines++;
        }
        const Prompt* newest = nullptr;
        size_t at = 0;
        for (const Prompt& p : PROMPTS) {
            size_t pos = screen.rfind(p.text);
            if (pos != std::string::npos && pos >= tailFrom && (newest == nullptr || pos > at)) newest = &p, at = pos;
        }
        if (newest) (this->*newest->act)();
        testbed::PressKey(KEY_ENTER, testbed::NowUs() + 300000);
    }
    void SetConsoleJumper() { ConsoleJumper(true); }
    void RemoveConsoleJumper() { ConsoleJumper(false); }
    void SetPeripheralJumper() { PeripheralJumper(true); }
    // "switch on Remote" / "switch on Tempa BOX", then [ENTER].
    void SwitchOnPeripheral() {
        if (update_ == Update::TempaBox) {
            tempa_.PowerOn();
        } else if (peripheralJumper_) {
            peer_.PowerOn();
        } else {
            unit_->PowerOn();
        }
    }

    void ConsoleOn() {
        if (!consoleJumper_ && console_.PowerOn())
            consolePlug_->Plug();
        else
            consolePlug_->Unplug();
    }
    // Switched off, the jumper set or removed, switched on.
    void ConsoleJumper(bool set) {
        consoleJumper_ = set;
        consolePlug_->Unplug();
        bootPlug_->Unplug();
        if (set) {
            boot_.PowerOn();
            bootPlug_->Plug();
        } else {
            ConsoleOn();
        }
    }
    void PeripheralJumper(bool set) {
        if (!IsPeripheral(update_) || set == peripheralJumper_) return;
        peripheralJumper_ = set;
        if (set) {
            console_.KqLink().Detach(unit_);
            peer_.PowerOn();
            console_.KqLink().Attach(&peer_);
        } else {
            console_.KqLink().Detach(&peer_);
            unit_->PowerOn();
            console_.KqLink().Attach(unit_);
        }
    }

    Update update_;
    sim::Console console_;
    sim::BootDevice boot_;
    sim::Remote remote_{1};
    sim::Receiver receiver_{2};
    sim::Unit* unit_ = nullptr;
    sim::BootPeer peer_;
    sim::TempaBoxBoot tempa_;
    std::unique_ptr<sim::TestbedPlug> consolePlug_, bootPlug_;
    Bytes image_, calibration_;
    bool consoleJumper_ = false, peripheralJumper_ = false;
    std::string answered_;
};

}  // namespace

const std::vector<Update>& AllUpdates() {
    static const std::vector<Update> ALL{Update::ConsoleUser,   Update::ConsoleBoot,     Update::VinculumCable,
                                         Update::RemoteUser,    Update::ReceiverUser,    Update::RemoteService,
                                         Update::ReceiverService, Update::TempaBox};
    return ALL;
}

const char* NameOf(Update u) {
    switch (u) {
        case Update::ConsoleUser: return "console, user mode";
        case Update::ConsoleBoot: return "console, boot mode";
        case Update::VinculumCable: return "Vinculum by cable";
        case Update::RemoteUser: return "Remote, user mode";
        case Update::ReceiverUser: return "Receiver, user mode";
        case Update::RemoteService: return "Remote, technical service";
        case Update::ReceiverService: return "Receiver, technical service";
        case Update::TempaBox: return "Tempa BOX";
    }
    return "?";
}

std::string CutPoint::Plan() const {
    return "cut:" + kind + "#" + std::to_string(index) + "=" + std::to_string(permille);
}

std::vector<CutPoint> CutPoints(Update update) {
    Session session;
    Bench bench(update);
    bool updated = bench.RunCommand();
    std::vector<CutPoint> points;
    if (!updated) return points;  // the bench itself is broken: the sweep shows 0 points
    for (const sim::Request& r : bench.Target()->Requests())
        points.push_back(CutPoint{r.kind, r.index, ChangesFlash(r.kind) ? 500u : 0u});
    return points;
}

std::vector<CutPoint> PhaseBoundaries(Update update, int sample, uint64_t seed) {
    std::vector<CutPoint> all = CutPoints(update);
    std::set<size_t> chosen;
    if (all.empty()) return {};
    chosen.insert(0);
    chosen.insert(all.size() - 1);
    std::vector<size_t> writes;
    for (size_t i = 0; i < all.size(); i++) {
        if (IsErase(all[i].kind)) {
            // before the first erase, the first and the last erase, and right after it
            if (i > 0) chosen.insert(i - 1);
            chosen.insert(i);
            if (i + 1 < all.size() && !IsErase(all[i + 1].kind)) chosen.insert(i + 1);
        }
        if (IsWrite(all[i].kind)) writes.push_back(i);
    }
    // Middle erases add nothing the first and last do not: keep the ends of each run.
    for (auto it = chosen.begin(); it != chosen.end();) {
        size_t i = *it;
        bool middle = IsErase(all[i].kind) && i > 0 && i + 1 < all.size() && IsErase(all[i - 1].kind) &&
                      IsErase(all[i + 1].kind);
        it = middle ? chosen.erase(it) : std::next(it);
    }
    if (!writes.empty()) {
        chosen.insert(writes.front());
        chosen.insert(writes[writes.size() / 2]);
        chosen.insert(writes.back());
    }
    std::mt19937_64 random(seed);
    for (int i = 0; i < sample; i++) chosen.insert(random() % all.size());
    std::vector<CutPoint> points;
    for (size_t i : chosen) points.push_back(all[i]);
    return points;
}

Outcome RunCut(Update update, const CutPoint& cut) {
    Session session;
    Bench bench(update);
    Outcome out;
    sim::Model* target = bench.Target();
    target->SetFaults(sim::FaultPlan::FromText(cut.Plan()));
    bench.RunCommand();
    for (const sim::Request& r : target->Requests())
        out.cutTookEffect = out.cutTookEffect || r.result.compare(0, 9, "power cut") == 0;
    target->SetFaults(sim::FaultPlan());
    bench.PowerBack();
    bool updated = false;
    while (!updated && out.tries < MOST_TRIES) {
        out.tries++;
        updated = bench.RunCommand();
    }
    if (!updated) bench.note_ += " the program never said \"Updated\"";
    bench.Judge(&out);
    if (!updated) out.recovered = false;
    if (!out.cutTookEffect) out.note += " the cut did not happen";
    out.note += bench.note_;
    return out;
}

}  // namespace sweep
