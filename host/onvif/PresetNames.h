// Names that ONVIF clients give to presets, kept across restarts.
//
// File format: one line per preset, "camera<TAB>number<TAB>name", camera and name
// percent-encoded (every byte outside '!'..'~', and '%'), so that any UTF-8 name, tabs and newlines
// included, round-trips and a line can be checked on its own.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace k47host::onvif {

// The store is a few names per camera; a larger file is not ours.
inline constexpr size_t kMaxPresetNamesFileBytes = 1024 * 1024;

// Names that ONVIF clients gave to camera presets (the camera keeps only numbered presets), kept
// in a small state file so that they survive restarts. Thread-safe (one lock).
class PresetNames {
  public:
    explicit PresetNames(std::string path);  // empty: kept in memory only
    // Reads the file; a missing file is an empty store (true). A damaged line is skipped and
    // reported in *warning (the rest is kept); false only when the file exists but cannot be read.
    bool Load(std::string* error, std::string* warning);
    std::map<unsigned, std::string> Of(std::string_view camera) const;  // number -> name
    // Stores and writes the file (atomically: a temp file in the same folder, fsync, rename).
    // False with *error when the file cannot be written; the name is kept in memory anyway.
    bool Set(std::string_view camera, unsigned number, std::string_view name, std::string* error);
    bool Remove(std::string_view camera, unsigned number, std::string* error);
    const std::string& Path() const { return path_; }

  private:
    bool WriteLocked(std::string* error) const;

    const std::string path_;
    mutable std::mutex names_lock_;
    std::map<std::string, std::map<unsigned, std::string>, std::less<>> names_;
};

// The line format's field encoding; Decode fails on anything Encode would not have written.
std::string PercentEncode(std::string_view text);
bool PercentDecode(std::string_view field, std::string* text);

}  // namespace k47host::onvif
