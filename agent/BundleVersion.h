#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel::agent {

// CFBundleShortVersionString of an XML property list, when it is a member of
// the top-level dictionary and its value is a string.
std::optional<std::string> shortVersionFromInfoPlist(std::string_view plist);

// The agent sits in <bundle>/Contents/Resources/PrintService/, so the bundle's
// Info.plist is two folders above the executable's own.
std::filesystem::path infoPlistForExecutable(const std::filesystem::path& executable);

// The version in the Info.plist at `infoPlist`, or the fallback version when
// the file is missing, unreadable or has no string version.
std::string bundleVersion(const std::filesystem::path& infoPlist);

// The running executable's own path, symbolic links resolved.
std::optional<std::filesystem::path> currentExecutablePath();

// "macos" or "linux".
std::string platformName();

// The machine's hardware name as the kernel reports it ("arm64", "x86_64").
std::string machineArchitecture();

} // namespace kestrel::agent
