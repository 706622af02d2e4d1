// The line the simulator plays the camera end of, and the name scripts reach it by.
//
// Line: a new pseudo-terminal (its slave path is what a host configures as its port) or an
// existing serial device, opened raw and exclusively (flock, as every port user of this project
// does) at a given speed. Nothing blocks: the owner polls fd() and reads what is queued; a write
// that does not fit is cut short and says how much went out.
//
// A pty serves one host after another: the line keeps descriptors of the slave open, so the
// master never reads a hang-up between two hosts. A host that dies without closing its port
// leaves the kernel's exclusive flag (TIOCEXCL) on the slave, and the next host's open would fail
// for ever; ClearStaleExclusive() drops a flag that no live opener holds any more (the flag
// without the flock that port users take beside it).
//
// HoldWriter() stalls a pty the way a stuck line would: our slave descriptor stops the slave's
// output (tcflow TCOOFF), so a port user's write blocks at once (or fails with EAGAIN, and poll
// shows no POLLOUT) instead of the kernel taking tens of KB first; releasing restarts it. On a
// device the far end cannot be held back from here.
//
// LineLink: a symbolic link PATH -> the line's path, made at construction (replacing an old
// link, never a file) and removed by its destructor if it still points to this line.
//
// Threading: one thread at a time. Lifetime: RAII; destroying a Line closes the line (a host
// still using it sees a hang-up).
#pragma once

#include <k47/pty.h>
#include <k47/unique_fd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ptzsim {

using k47::UniqueFd;

class Line {
  public:
    static std::unique_ptr<Line> OpenPty(std::string* error);
    // `baud` must be one of SupportedBaud().
    static std::unique_ptr<Line> OpenDevice(const std::string& path, uint32_t baud,
                                            std::string* error);
    static bool SupportedBaud(uint32_t baud);

    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    const std::string& path() const { return path_; }
    bool is_pty() const { return pty_.has_value(); }
    int fd() const;  // readable when bytes arrived

    // Reads up to `size` queued bytes: the count, 0 when nothing is queued, -1 when the line is
    // gone (a device unplugged); `error` then says why.
    long Read(uint8_t* buffer, size_t size, std::string* error);
    // Bytes that arrived and wait to be read (FIONREAD); -1 when that cannot be read.
    long Waiting() const;
    // Writes what fits without waiting; returns the number of bytes written.
    size_t Write(const std::vector<uint8_t>& bytes);
    // Pty only: holds the port user's writes (hold) or lets them go; true when it did.
    bool HoldWriter(bool hold);
    // The line's settings as its user left them, e.g. "9600 8N1" (", not raw" when echo, line
    // editing or byte mapping is on); empty when they cannot be read.
    std::string Settings() const;
    // The same as values; nullopt when they cannot be read.
    std::optional<k47::PtyLineSettings> LineSettings() const;
    // Pty only: clears an exclusive flag that no open port holds; true when it did.
    bool ClearStaleExclusive();

  private:
    Line() = default;

    std::string path_;
    std::optional<k47::PtyPair> pty_;
    UniqueFd slave_;   // pty: our own descriptor of the slave, for the flag checks and holds
    UniqueFd device_;  // device: the line itself
};

class LineLink {
  public:
    static std::unique_ptr<LineLink> Make(const std::string& link, const std::string& target,
                                          std::string* error);
    ~LineLink();
    LineLink(const LineLink&) = delete;
    LineLink& operator=(const LineLink&) = delete;

    const std::string& path() const { return link_; }

  private:
    LineLink(std::string link, std::string target)
        : link_(std::move(link)), target_(std::move(target)) {}

    std::string link_;
    std::string target_;
};

// Text of line settings: "9600 8N1", flow control and ", not raw" when they apply.
std::string SettingsText(const k47::PtyLineSettings& settings);

}  // namespace ptzsim
