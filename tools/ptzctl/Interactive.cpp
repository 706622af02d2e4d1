// The keyboard mode.
#include "tools/ptzctl/Interactive.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "tools/ptzctl/Client.h"

namespace ptzctl {

namespace {

// A key that has not repeated for this long counts as let go. Terminals start repeating a held
// key after about half a second, so the first gap must not end the motion.
constexpr auto kReleaseAfter = std::chrono::milliseconds(700);

class RawTerminal {
  public:
    RawTerminal() {
        if (tcgetattr(STDIN_FILENO, &saved_) != 0)
            return;
        termios raw = saved_;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
    ~RawTerminal() {
        if (active_)
            tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;
    bool Active() const { return active_; }

  private:
    termios saved_{};
    bool active_ = false;
};

struct Speeds {
    SHORT pan = 0, tilt = 0, zoom = 0;
    bool operator==(const Speeds&) const = default;
};

// What ReadKey returns once `interrupted` is readable.
constexpr int kInterrupted = -1;

// Reads one key (escape sequences of arrow keys folded into 'U', 'D', 'L', 'R'), or 0.
int ReadKey(int timeoutMs, int interrupted) {
    pollfd waits[2] = {{STDIN_FILENO, POLLIN, 0}, {interrupted, POLLIN, 0}};
    if (poll(waits, 2, timeoutMs) <= 0)
        return 0;
    if (waits[1].revents != 0)
        return kInterrupted;
    pollfd pfd{STDIN_FILENO, POLLIN, 0};
    unsigned char c = 0;
    if (read(STDIN_FILENO, &c, 1) != 1)
        return 'q';  // end of input
    if (c != 0x1B)
        return c;
    unsigned char sequence[2] = {0, 0};
    if (poll(&pfd, 1, 30) <= 0 || read(STDIN_FILENO, &sequence[0], 1) != 1)
        return 0x1B;
    if (poll(&pfd, 1, 30) <= 0 || read(STDIN_FILENO, &sequence[1], 1) != 1)
        return 0x1B;
    if (sequence[0] != '[')
        return 0;
    switch (sequence[1]) {
        case 'A':
            return 'U';
        case 'B':
            return 'D';
        case 'C':
            return 'R';
        case 'D':
            return 'L';
        default:
            return 0;
    }
}

void Status(const char* text) {
    std::printf("\r\033[K%s", text);
    std::fflush(stdout);
}

}  // namespace

int RunInteractive(IK47PTZClient* client, const std::string& camera, int speed, int interrupted,
                   const FailureReport& fail) {
    if (!isatty(STDIN_FILENO)) {
        std::fprintf(stderr, "ptzctl: interactive mode needs a terminal\n");
        return k47exit::kUsage;
    }
    RawTerminal terminal;
    if (!terminal.Active()) {
        std::fprintf(stderr, "ptzctl: cannot switch the terminal to raw mode\n");
        return k47exit::kUsage;
    }
    std::printf(
        "Steering %s: arrows pan/tilt, + and - zoom, 1-9 go to a preset, space stops, q quits.\n",
        camera.c_str());
    Status("idle");
    const SHORT s = static_cast<SHORT>(speed);
    Speeds current;
    auto lastKey = std::chrono::steady_clock::now();
    bool moving = false;
    int result = k47exit::kOk;
    for (;;) {
        int key = ReadKey(50, interrupted);
        if (key == kInterrupted)
            break;
        auto now = std::chrono::steady_clock::now();
        Speeds wanted = current;
        bool isMotionKey = true;
        switch (key) {
            case 'U':
                wanted = {0, s, 0};
                break;
            case 'D':
                wanted = {0, static_cast<SHORT>(-s), 0};
                break;
            case 'L':
                wanted = {static_cast<SHORT>(-s), 0, 0};
                break;
            case 'R':
                wanted = {s, 0, 0};
                break;
            case '+':
            case '=':
                wanted = {0, 0, s};
                break;
            case '-':
                wanted = {0, 0, static_cast<SHORT>(-s)};
                break;
            default:
                isMotionKey = false;
        }
        if (isMotionKey) {
            lastKey = now;
            if (!moving || !(wanted == current)) {
                HRESULT hr = client->MoveRelative(wanted.pan, wanted.tilt, wanted.zoom, 0, 0);
                if (FAILED(hr)) {
                    std::printf("\r\n");
                    result = fail("moving", hr);
                    break;  // the motion before may still be under way
                }
                current = wanted;
                moving = true;
                char text[96];
                std::snprintf(text, sizeof(text), "moving: pan %d tilt %d zoom %d", current.pan,
                              current.tilt, current.zoom);
                Status(text);
            }
            continue;
        }
        if (key == 'q' || key == 'Q' || key == 3 /* Ctrl-C */ || key == 4 /* Ctrl-D */)
            break;
        if (key >= '1' && key <= '9') {
            if (moving)
                client->EndMotion();
            moving = false;
            HRESULT hr = client->Command(PTZCMD_GOTOPRESET, key - '0');
            char text[64];
            std::snprintf(text, sizeof(text), "preset %d %s", key - '0',
                          SUCCEEDED(hr) ? "recalled" : "failed");
            Status(text);
            continue;
        }
        if (moving && (key == ' ' || now - lastKey > kReleaseAfter)) {
            client->EndMotion();
            moving = false;
            current = Speeds{};
            Status("stopped");
        }
    }
    if (moving)
        EndMotionNow(client);
    std::printf("\r\n");
    return result;
}

}  // namespace ptzctl
