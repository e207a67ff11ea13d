// The few per-OS primitives that the shared algorithms of the native file
// system (roots.cpp: probing, making and resolving roots) stand on. Each
// operating system's directory implements them; nothing above the platform
// layer sees them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/pause_hooks.h"
#include "platform/platform.h"

namespace qmr::os {

// The pause points of the run (see pause_hooks.h).
PauseHooks& pauses(NativeFileSystem::State& state);

// The number that seeds this process's temporary names.
std::uint32_t process_number();

// Whether a marker can be made in `dest_root` and taken back: both roots are
// open, and the destination is no directory where names cannot be removed.
bool markers_possible(NativeFileSystem::State& state, const std::string& source_root, const std::string& dest_root);

enum class MarkerMade { kMade, kTaken, kRefused, kFailed };

// Makes the empty file `name` in the open root `dest_root`: made; the name
// was taken; refused, with the system's reason in `refused`, where nothing
// can be made there (no permission, a read-only medium); or failed otherwise.
MarkerMade make_marker(NativeFileSystem::State& state, const std::string& dest_root, const std::string& name,
                       std::string& refused);
// Whether `name` shows in the open root `source_root`.
bool marker_seen(NativeFileSystem::State& state, const std::string& source_root, const std::string& name);
void remove_marker(NativeFileSystem::State& state, const std::string& dest_root, const std::string& name);

// `path` made absolute (on Windows with "." and ".." applied by spelling, as
// the system itself does); `root_length` is the part that stays ("/", "C:\").
std::string absolute_spelling(const std::string& path, size_t& root_length);
// `existing` with links, "." and ".." resolved, when it exists.
std::optional<std::string> real_path(const std::string& existing);

// Writes the copy `order` asks for under a temporary name beside its target
// (see FileSystem::stage_copy).
Outcome stage_entry(NativeFileSystem::State& state, const CopyOrder& order, std::unique_ptr<StagedCopy>& staged);

// Creates the directory `path` and its missing parents (links followed: the
// user named this path).
Outcome make_directories(const std::string& path);

}  // namespace qmr::os
