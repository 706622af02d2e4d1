// The preset name store and its state file.
#include "host/onvif/PresetNames.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <k47/unique_fd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <vector>

namespace k47host::onvif {

namespace {

bool Plain(unsigned char c) {
    return c > ' ' && c <= '~' && c != '%';
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string Failure(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// One line: camera, number and name, or false when the line is damaged.
bool ParseLine(std::string_view line, std::string* camera, unsigned* number, std::string* name) {
    size_t first = line.find('\t');
    size_t second = first == std::string_view::npos ? first : line.find('\t', first + 1);
    if (second == std::string_view::npos || line.find('\t', second + 1) != std::string_view::npos)
        return false;
    std::string_view digits = line.substr(first + 1, second - first - 1);
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), *number);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size())
        return false;
    return PercentDecode(line.substr(0, first), camera) &&
           PercentDecode(line.substr(second + 1), name);
}

}  // namespace

std::string PercentEncode(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (Plain(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

bool PercentDecode(std::string_view field, std::string* text) {
    text->clear();
    for (size_t i = 0; i < field.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(field[i]);
        if (c != '%') {
            if (!Plain(c))
                return false;
            *text += static_cast<char>(c);
            continue;
        }
        if (i + 2 >= field.size())
            return false;
        int hi = HexValue(field[i + 1]), lo = HexValue(field[i + 2]);
        if (hi < 0 || lo < 0)
            return false;
        *text += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

PresetNames::PresetNames(std::string path) : path_(std::move(path)) {}

bool PresetNames::Load(std::string* error, std::string* warning) {
    if (path_.empty())
        return true;
    k47::UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) {
            std::lock_guard<std::mutex> guard(names_lock_);
            names_.clear();
            return true;
        }
        *error = Failure("cannot open", path_);
        return false;
    }
    std::string text;
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = Failure("cannot read", path_);
            return false;
        }
        if (n == 0)
            break;
        text.append(buffer.data(), static_cast<size_t>(n));
        if (text.size() > kMaxPresetNamesFileBytes) {
            *error =
                path_ + " is larger than " + std::to_string(kMaxPresetNamesFileBytes) + " bytes";
            return false;
        }
    }
    fd.reset();

    decltype(names_) names;
    std::string skipped;
    size_t start = 0;
    for (unsigned lineNumber = 1; start < text.size(); ++lineNumber) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string_view line(text.data() + start, end - start);
        start = end + 1;
        if (line.empty())  // left by a hand edit; not damage
            continue;
        std::string camera, name;
        unsigned number = 0;
        if (ParseLine(line, &camera, &number, &name))
            names[camera][number] = std::move(name);
        else
            skipped += (skipped.empty() ? "" : ", ") + std::to_string(lineNumber);
    }
    if (!skipped.empty())
        *warning = path_ + ": damaged line(s) skipped: " + skipped;
    std::lock_guard<std::mutex> guard(names_lock_);
    names_ = std::move(names);
    return true;
}

std::map<unsigned, std::string> PresetNames::Of(std::string_view camera) const {
    std::lock_guard<std::mutex> guard(names_lock_);
    auto it = names_.find(camera);
    return it == names_.end() ? std::map<unsigned, std::string>{} : it->second;
}

bool PresetNames::Set(std::string_view camera, unsigned number, std::string_view name,
                      std::string* error) {
    std::lock_guard<std::mutex> guard(names_lock_);
    auto it = names_.find(camera);
    if (it == names_.end())
        it = names_.emplace(std::string(camera), std::map<unsigned, std::string>{}).first;
    it->second[number] = std::string(name);
    return WriteLocked(error);
}

bool PresetNames::Remove(std::string_view camera, unsigned number, std::string* error) {
    std::lock_guard<std::mutex> guard(names_lock_);
    auto it = names_.find(camera);
    if (it == names_.end() || it->second.erase(number) == 0)
        return true;
    if (it->second.empty())
        names_.erase(it);
    return WriteLocked(error);
}

// A reader sees the old file or the new one, never a part: the new one is written beside it,
// made durable, then renamed over it.
bool PresetNames::WriteLocked(std::string* error) const {
    if (path_.empty())
        return true;
    std::string text;
    for (const auto& [camera, presets] : names_)
        for (const auto& [number, name] : presets)
            text += PercentEncode(camera) + '\t' + std::to_string(number) + '\t' +
                    PercentEncode(name) + '\n';
    std::string temp = path_ + ".XXXXXX";
    k47::UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) {
        *error = Failure("cannot create", temp);
        return false;
    }
    bool written = WriteAll(fd.get(), text) && ::fsync(fd.get()) == 0;
    if (!written)
        *error = Failure("cannot write", temp);
    // Closed here, not by the wrapper: a failing close is a failed write.
    if (::close(fd.release()) != 0 && written) {
        *error = Failure("cannot write", temp);
        written = false;
    }
    if (written && ::rename(temp.c_str(), path_.c_str()) != 0) {
        *error = Failure("cannot replace", path_);
        written = false;
    }
    if (!written) {
        ::unlink(temp.c_str());
        return false;
    }
    // The rename itself must survive a power cut too.
    std::string folder = path_.substr(0, path_.find_last_of('/') + 1);
    k47::UniqueFd dir(
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir)
        ::fsync(dir.get());
    return true;
}

}  // namespace k47host::onvif
