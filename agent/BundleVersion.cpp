#include "BundleVersion.h"

#include "AgentCore.h"

#include <cstdint>
#include <expat.h>
#include <fstream>
#include <memory>
#include <sys/utsname.h>
#include <vector>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

namespace kestrel::agent {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t maximumPlistBytes = 1024 * 1024;

// Follows Expat's events as the application's stream reader walks the same
// document, and stops at the version: what follows it, even broken XML,
// changes nothing for either. Depth 1 is <plist>, 2 the top-level <dict>.
struct PlistReader {
    XML_Parser parser = nullptr;
    int depth = 0;
    bool inText = false;      // in a member <key>, or in the <string> after the version key
    bool versionNext = false; // the last member key was CFBundleShortVersionString
    std::string text;
    std::optional<std::string> version;
};

void startElement(void* data, const XML_Char* name, const XML_Char**) {
    auto& reader = *static_cast<PlistReader*>(data);
    // Names come as "namespace\nlocal name"; elements are told apart by local name.
    const std::string_view full(name), element = full.substr(full.rfind('\n') + 1);
    ++reader.depth;
    if (reader.inText || (reader.depth == 1 && element != "plist") ||
        (reader.depth == 2 && element != "dict") ||
        (reader.depth == 3 && reader.versionNext && element != "string"))
        XML_StopParser(reader.parser, XML_FALSE);
    else if (reader.depth == 3)
        reader.inText = reader.versionNext || element == "key";
    reader.text.clear();
}

void endElement(void* data, const XML_Char*) {
    auto& reader = *static_cast<PlistReader*>(data);
    if (--reader.depth < 2) {
        XML_StopParser(reader.parser, XML_FALSE); // the top-level dictionary has no version
    } else if (reader.depth == 2 && reader.inText) {
        reader.inText = false;
        if (reader.versionNext) {
            reader.version = reader.text;
            XML_StopParser(reader.parser, XML_FALSE);
        }
        reader.versionNext = reader.text == "CFBundleShortVersionString";
    }
}

void characters(void* data, const XML_Char* text, int length) {
    auto& reader = *static_cast<PlistReader*>(data);
    if (reader.inText)
        reader.text.append(text, static_cast<std::size_t>(length));
}

} // namespace

std::optional<std::string> shortVersionFromInfoPlist(std::string_view plist) {
    if (plist.size() > maximumPlistBytes)
        return std::nullopt;
    const std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(
        XML_ParserCreateNS(nullptr, '\n'), XML_ParserFree);
    if (!parser)
        return std::nullopt;
    // Without an external entity handler Expat reads no DTD and no other
    // file; entities the document declares itself are expanded under
    // Expat's own limit on their growth.
    PlistReader reader;
    reader.parser = parser.get();
    XML_SetUserData(parser.get(), &reader);
    XML_SetElementHandler(parser.get(), startElement, endElement);
    XML_SetCharacterDataHandler(parser.get(), characters);
    XML_Parse(parser.get(), plist.data(), static_cast<int>(plist.size()), XML_TRUE);
    return reader.version;
}

fs::path infoPlistForExecutable(const fs::path& executable) {
    return executable.parent_path().parent_path().parent_path() / "Info.plist";
}

std::string bundleVersion(const fs::path& infoPlist) {
    // One byte past the limit, so that a longer file is refused whole.
    std::string content(maximumPlistBytes + 1, '\0');
    std::ifstream in(infoPlist, std::ios::binary);
    in.read(content.data(), static_cast<std::streamsize>(content.size()));
    content.resize(in.bad() ? 0 : static_cast<std::size_t>(in.gcount()));
    return shortVersionFromInfoPlist(content).value_or(fallbackVersion);
}

std::optional<fs::path> currentExecutablePath() {
    std::error_code error;
#if defined(__APPLE__)
    std::uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size);
    std::vector<char> buffer(size + 1, '\0');
    if (_NSGetExecutablePath(buffer.data(), &size) != 0)
        return std::nullopt;
    auto path = fs::canonical(fs::path(buffer.data()), error);
#else
    auto path = fs::read_symlink("/proc/self/exe", error);
#endif
    if (error)
        return std::nullopt;
    return path;
}

std::string platformName() {
#if defined(__APPLE__)
    return "macos";
#else
    return "linux";
#endif
}

std::string machineArchitecture() {
    utsname names{};
    if (::uname(&names) != 0)
        return "unknown";
    return names.machine;
}

} // namespace kestrel::agent
