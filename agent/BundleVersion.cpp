#include "BundleVersion.h"

#include "AgentCore.h"

#include <cstdint>
#include <fstream>
#include <sys/utsname.h>
#include <vector>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

namespace kestrel::agent {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t maximumPlistBytes = 1024 * 1024;

void appendUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// Just enough XML for a property list: elements, character data, the five
// predefined and numeric entities, CDATA, comments, the XML declaration and a
// document type declaration. Anything else makes the reading fail.
class XmlCursor {
public:
    explicit XmlCursor(std::string_view text) : m_text(text) {}

    struct Tag {
        std::string name;
        bool closing = false;
        bool selfClosing = false;
    };

    // Skips white space, comments, processing instructions and declarations.
    bool skipMisc() {
        while (true) {
            while (m_pos < m_text.size() && isSpace(m_text[m_pos]))
                ++m_pos;
            if (startsWith("<?")) {
                if (!skipPast("?>"))
                    return false;
            } else if (startsWith("<!--")) {
                if (!skipPast("-->"))
                    return false;
            } else if (startsWith("<!DOCTYPE")) {
                if (!skipDoctype())
                    return false;
            } else {
                return true;
            }
        }
    }

    std::optional<Tag> readTag() {
        if (!skipMisc() || !startsWith("<"))
            return std::nullopt;
        ++m_pos;
        Tag tag;
        if (startsWith("/")) {
            tag.closing = true;
            ++m_pos;
        }
        while (m_pos < m_text.size() && !isSpace(m_text[m_pos]) && m_text[m_pos] != '>' &&
               m_text[m_pos] != '/')
            tag.name += m_text[m_pos++];
        if (tag.name.empty())
            return std::nullopt;
        char quote = 0;
        for (; m_pos < m_text.size(); ++m_pos) {
            const char c = m_text[m_pos];
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                tag.selfClosing = m_text[m_pos - 1] == '/';
                ++m_pos;
                if (tag.closing && tag.selfClosing)
                    return std::nullopt;
                return tag;
            }
        }
        return std::nullopt;
    }

    // Character data up to the next tag, entities and CDATA decoded.
    std::optional<std::string> readText() {
        std::string out;
        while (m_pos < m_text.size()) {
            if (startsWith("<![CDATA[")) {
                const auto end = m_text.find("]]>", m_pos);
                if (end == std::string_view::npos)
                    return std::nullopt;
                out += m_text.substr(m_pos + 9, end - m_pos - 9);
                m_pos = end + 3;
            } else if (startsWith("<!--")) {
                if (!skipPast("-->"))
                    return std::nullopt;
            } else if (m_text[m_pos] == '<') {
                return out;
            } else if (m_text[m_pos] == '&') {
                if (!readEntity(out))
                    return std::nullopt;
            } else {
                out += m_text[m_pos++];
            }
        }
        return std::nullopt;
    }

    // Reads "text</name>" of an element whose start tag was just read.
    std::optional<std::string> readElementText(const Tag& start) {
        if (start.selfClosing)
            return std::string();
        auto text = readText();
        if (!text)
            return std::nullopt;
        const auto end = readTag();
        if (!end || !end->closing || end->name != start.name)
            return std::nullopt;
        return text;
    }

    // Skips the rest of an element whose start tag was just read.
    bool skipElement(const Tag& start) {
        if (start.selfClosing)
            return true;
        int depth = 1;
        while (depth > 0) {
            if (!readText())
                return false;
            const auto tag = readTag();
            if (!tag)
                return false;
            if (tag->closing)
                --depth;
            else if (!tag->selfClosing)
                ++depth;
        }
        return true;
    }

private:
    static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

    bool startsWith(std::string_view prefix) const {
        return m_text.substr(m_pos).starts_with(prefix);
    }

    bool skipPast(std::string_view end) {
        const auto found = m_text.find(end, m_pos);
        if (found == std::string_view::npos)
            return false;
        m_pos = found + end.size();
        return true;
    }

    // The public and system identifiers are quoted and may hold '>' or
    // brackets, which end nothing there.
    bool skipDoctype() {
        int brackets = 0;
        char quote = 0;
        for (; m_pos < m_text.size(); ++m_pos) {
            const char c = m_text[m_pos];
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'')
                quote = c;
            else if (c == '[')
                ++brackets;
            else if (c == ']')
                --brackets;
            else if (c == '>' && brackets == 0) {
                ++m_pos;
                return true;
            }
        }
        return false;
    }

    bool readEntity(std::string& out) {
        const auto end = m_text.find(';', m_pos);
        if (end == std::string_view::npos || end - m_pos > 12)
            return false;
        const std::string_view name = m_text.substr(m_pos + 1, end - m_pos - 1);
        m_pos = end + 1;
        if (name == "lt")
            out += '<';
        else if (name == "gt")
            out += '>';
        else if (name == "amp")
            out += '&';
        else if (name == "quot")
            out += '"';
        else if (name == "apos")
            out += '\'';
        else if (name.size() > 1 && name.front() == '#') {
            const bool hex = name[1] == 'x';
            const std::string_view digits = name.substr(hex ? 2 : 1);
            if (digits.empty())
                return false;
            std::uint32_t code = 0;
            for (const char c : digits) {
                int value;
                if (c >= '0' && c <= '9')
                    value = c - '0';
                else if (hex && c >= 'a' && c <= 'f')
                    value = c - 'a' + 10;
                else if (hex && c >= 'A' && c <= 'F')
                    value = c - 'A' + 10;
                else
                    return false;
                code = code * (hex ? 16 : 10) + static_cast<std::uint32_t>(value);
                if (code > 0x10FFFF)
                    return false;
            }
            if (code == 0 || (code >= 0xD800 && code <= 0xDFFF))
                return false;
            appendUtf8(out, code);
        } else {
            return false;
        }
        return true;
    }

    std::string_view m_text;
    std::size_t m_pos = 0;
};

} // namespace

std::optional<std::string> shortVersionFromInfoPlist(std::string_view plist) {
    // XML reads every line end (CR LF or a lone CR) as a line feed before
    // anything else, text and CDATA included; so does the application's reader.
    std::string normalized;
    normalized.reserve(plist.size());
    for (std::size_t i = 0; i < plist.size(); ++i) {
        if (plist[i] != '\r') {
            normalized += plist[i];
        } else {
            normalized += '\n';
            if (i + 1 < plist.size() && plist[i + 1] == '\n')
                ++i;
        }
    }
    XmlCursor xml(normalized);
    const auto root = xml.readTag();
    if (!root || root->closing || root->selfClosing || root->name != "plist")
        return std::nullopt;
    const auto dict = xml.readTag();
    if (!dict || dict->closing || dict->selfClosing || dict->name != "dict")
        return std::nullopt;
    while (true) {
        const auto tag = xml.readTag();
        if (!tag || tag->closing)
            return std::nullopt;
        if (tag->name != "key") {
            if (!xml.skipElement(*tag))
                return std::nullopt;
            continue;
        }
        const auto key = xml.readElementText(*tag);
        const auto value = xml.readTag();
        if (!key || !value || value->closing)
            return std::nullopt;
        if (*key == "CFBundleShortVersionString") {
            if (value->name != "string")
                return std::nullopt;
            return xml.readElementText(*value);
        }
        if (!xml.skipElement(*value))
            return std::nullopt;
    }
}

fs::path infoPlistForExecutable(const fs::path& executable) {
    return executable.parent_path().parent_path().parent_path() / "Info.plist";
}

std::string bundleVersion(const fs::path& infoPlist) {
    std::ifstream in(infoPlist, std::ios::binary);
    if (!in)
        return fallbackVersion;
    std::string content(maximumPlistBytes + 1, '\0');
    in.read(content.data(), static_cast<std::streamsize>(content.size()));
    const auto length = static_cast<std::size_t>(in.gcount());
    if (in.bad() || length > maximumPlistBytes)
        return fallbackVersion;
    content.resize(length);
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
