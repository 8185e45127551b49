// The session's manifest, written whole: a temporary file renamed into place.
#pragma once

#include <expected>
#include <filesystem>
#include <string>

#include "quern_session/manifest.hpp"

namespace quern_shim {

// The manifest's JSON text: compact, keys sorted, absent optional fields null.
std::string manifest_json(const quern_session::manifest::Manifest& manifest);

// Writes the text to a temporary file beside `path` (mode 0600) and renames it
// over `path`, so a reader sees the old file, no file, or the whole new one.
std::expected<void, std::string> write_manifest(const std::filesystem::path& path,
                                                const quern_session::manifest::Manifest& manifest);

}  // namespace quern_shim
