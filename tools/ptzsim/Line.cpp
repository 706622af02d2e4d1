// The simulator's line: a pty or a device, and its symbolic link (rules in Line.h).
#include "tools/ptzsim/Line.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace ptzsim {

namespace {

struct BaudCode {
    uint32_t baud;
    speed_t code;
};

constexpr BaudCode kBauds[] = {
    {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},     {2400, B2400},
    {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

std::string Errno(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

bool Line::SupportedBaud(uint32_t baud) {
    for (const BaudCode& b : kBauds) {
        if (b.baud == baud) {
            return true;
        }
    }
    return false;
}

std::unique_ptr<Line> Line::OpenPty(std::string* error) {
    std::unique_ptr<Line> line(new Line());
    try {
        line->pty_.emplace();
    } catch (const std::system_error& e) {
        *error = std::string("cannot open a pseudo-terminal: ") + e.what();
        return nullptr;
    }
    line->path_ = line->pty_->slave_path();
    line->slave_.reset(::open(line->path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!line->slave_) {
        *error = Errno(("cannot open " + line->path_).c_str());
        return nullptr;
    }
    return line;
}

std::unique_ptr<Line> Line::OpenDevice(const std::string& path, uint32_t baud, std::string* error) {
    std::unique_ptr<Line> line(new Line());
    line->path_ = path;
    line->device_.reset(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!line->device_) {
        *error = Errno(("cannot open " + path).c_str());
        return nullptr;
    }
    const int fd = line->device_.get();
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        *error = path + " is not a serial line";
        return nullptr;
    }
    // Two programs on one end of a line would steal each other's bytes.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *error = path + " is in use by another program";
        return nullptr;
    }
    speed_t code = B9600;
    for (const BaudCode& b : kBauds) {
        if (b.baud == baud) {
            code = b.code;
        }
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF);
    cfsetispeed(&tio, code);
    cfsetospeed(&tio, code);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        *error = Errno(("cannot set up " + path).c_str());
        return nullptr;
    }
    tcflush(fd, TCIOFLUSH);  // whatever sat in the buffers predates us
    return line;
}

Line::~Line() = default;

int Line::fd() const {
    return pty_ ? pty_->master_fd() : device_.get();
}

long Line::Read(uint8_t* buffer, size_t size, std::string* error) {
    for (;;) {
        ssize_t n = ::read(fd(), buffer, size);
        if (n > 0) {
            return static_cast<long>(n);
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return 0;
        }
        // A device reads end of file or EIO once it is gone; a pty master only when no slave is
        // open, which our own descriptors prevent.
        *error = n == 0 ? "the line was closed" : Errno("reading the line");
        return -1;
    }
}

size_t Line::Write(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;  // full (nobody reads the answers) or gone: the rest is dropped
        }
    }
    return done;
}

long Line::Waiting() const {
    int count = 0;
    if (ioctl(fd(), FIONREAD, &count) != 0) {
        return -1;
    }
    return count;
}

bool Line::HoldWriter(bool hold) {
    return slave_ && tcflow(slave_.get(), hold ? TCOOFF : TCOON) == 0;
}

std::string Line::Settings() const {
    std::optional<k47::PtyLineSettings> s = LineSettings();
    return s ? SettingsText(*s) : std::string();
}

std::optional<k47::PtyLineSettings> Line::LineSettings() const {
    return pty_ ? pty_->SlaveSettings() : k47::ReadLineSettings(device_.get());
}

bool Line::ClearStaleExclusive() {
    if (!slave_) {
        return false;
    }
    int exclusive = 0;
    if (ioctl(slave_.get(), TIOCGEXCL, &exclusive) != 0 || exclusive == 0) {
        return false;
    }
    // While the flag is on nobody can open the slave anew, so the only flock holder can be the
    // port user that set the flag. If its lock is gone, so is it.
    if (flock(slave_.get(), LOCK_EX | LOCK_NB) != 0) {
        return false;  // a live port user holds the line
    }
    ioctl(slave_.get(), TIOCNXCL);
    flock(slave_.get(), LOCK_UN);
    return true;
}

std::string SettingsText(const k47::PtyLineSettings& s) {
    std::string text = s.baud ? std::to_string(s.baud) : std::string("?");
    text += ' ';
    text += std::to_string(s.data_bits);
    text += s.parity;
    text += std::to_string(s.stop_bits);
    if (s.rts_cts) {
        text += " rts/cts";
    }
    if (s.xon_out || s.xon_in) {
        text += " xon/xoff";
    }
    if (!s.raw) {
        text += ", not raw";
    }
    return text;
}

std::unique_ptr<LineLink> LineLink::Make(const std::string& link, const std::string& target,
                                         std::string* error) {
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        *error = link + " exists and is not a symbolic link; not replacing it";
        return nullptr;
    }
    // A link left by an earlier run is replaced in one step, so a script never finds no link.
    const std::string temporary = link + ".ptzsim-" + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(target.c_str(), temporary.c_str()) != 0) {
        *error = Errno(("cannot create the link " + link).c_str());
        return nullptr;
    }
    if (rename(temporary.c_str(), link.c_str()) != 0) {
        *error = Errno(("cannot create the link " + link).c_str());
        unlink(temporary.c_str());
        return nullptr;
    }
    return std::unique_ptr<LineLink>(new LineLink(link, target));
}

LineLink::~LineLink() {
    // Another simulator may have taken the name over since; its link is not ours to remove.
    char buffer[4096];
    ssize_t n = readlink(link_.c_str(), buffer, sizeof buffer - 1);
    if (n >= 0 && std::string(buffer, static_cast<size_t>(n)) == target_) {
        unlink(link_.c_str());
    }
}

}  // namespace ptzsim
