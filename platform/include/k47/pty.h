// Linux-only helpers (not part of the Windows API): a pseudo-terminal pair that stands in for a
// serial line in tests and in the camera simulator. The slave path is what a port user opens
// with CreateFileA; this object plays the far end on the master.
//
// The pair also keeps a descriptor of the slave open for its whole life, so the line survives
// the port user closing and reopening it (otherwise the master reads EIO in between) and its
// settings can be read back with SlaveSettings(). That descriptor takes no lock, so the port
// user's exclusive open is unaffected.
//
// Threading: one thread at a time per object (reading and writing from two threads at once is
// fine; HangUp is not safe against concurrent calls). Lifetime: RAII; the destructor closes both
// descriptors, which the port user sees as a hang-up.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace k47 {

// The line settings a port user left on the slave, as the kernel holds them.
struct PtyLineSettings {
    uint32_t baud = 0;
    int data_bits = 0;     // 5..8
    char parity = 'N';     // 'N', 'O', 'E', 'M' (mark), 'S' (space)
    int stop_bits = 1;     // 1 or 2 (2 also stands for 1.5 with 5 data bits)
    bool rts_cts = false;  // CRTSCTS
    bool xon_out = false;  // IXON
    bool xon_in = false;   // IXOFF
    bool raw = false;      // no echo, line editing, signals, CR/LF mapping or output processing
};

// The settings of any terminal line (a pty's slave, a serial device), or nothing when `fd` is
// not a terminal.
std::optional<PtyLineSettings> ReadLineSettings(int fd);

class PtyPair {
  public:
    // Opens a new pair with the line in raw mode; throws std::system_error on failure.
    PtyPair();
    ~PtyPair();
    PtyPair(PtyPair&& other) noexcept;
    PtyPair& operator=(PtyPair&& other) noexcept;
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& slave_path() const { return slave_path_; }
    int master_fd() const { return master_; }  // -1 after HangUp

    // Raw mode for the line. Termios calls on a pty master act on the line's (slave's)
    // settings, so this is what a port user would otherwise find: no echo, no CR/LF mapping.
    bool SetRaw();

    // Reads until `max` bytes arrived or `timeout` passed (measured from the call); returns what
    // arrived, possibly nothing. EINTR-safe.
    std::vector<uint8_t> Read(size_t max, std::chrono::milliseconds timeout);
    // Waits up to `timeout` for the first byte, then returns everything already queued behind it
    // (at most `max`) without waiting further.
    std::vector<uint8_t> ReadAvailable(size_t max, std::chrono::milliseconds timeout);
    // Writes every byte (waiting while the line is full); false on error or after HangUp.
    bool WriteAll(const void* data, size_t size);
    bool WriteAll(const std::vector<uint8_t>& bytes) {
        return WriteAll(bytes.data(), bytes.size());
    }

    // Bytes written by the master that the port user has not read yet.
    size_t SlaveQueuedInput() const;
    // Waits until the port user's input queue holds at least `count` bytes (bytes written by the
    // master reach the slave asynchronously); false after `timeout`.
    bool WaitSlaveQueued(size_t count, std::chrono::milliseconds timeout) const;
    // The slave's settings; nullopt after HangUp.
    std::optional<PtyLineSettings> SlaveSettings() const;

    // Closes the master (and the slave descriptor this object holds): the port user's line is
    // hung up, its reads and writes fail from now on.
    void HangUp();

  private:
    void Close();

    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
};

}  // namespace k47
