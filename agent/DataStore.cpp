#include "DataStore.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <nlohmann/json.hpp>
#include <pwd.h>
#include <random>
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace kestrel::agent {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr char folderName[] = "KestrelAgent";
constexpr std::size_t maximumStateFileBytes = 64 * 1024;
// Upper case first: randomUuid() writes the first sixteen.
constexpr std::string_view hexDigits = "0123456789ABCDEFabcdef";

std::optional<std::string> readSmallFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string content(maximumStateFileBytes + 1, '\0');
    in.read(content.data(), static_cast<std::streamsize>(content.size()));
    content.resize(static_cast<std::size_t>(in.gcount()));
    if (in.bad() || content.size() > maximumStateFileBytes)
        return std::nullopt;
    return content;
}

std::optional<std::string> readDeviceId(const fs::path& file) {
    auto content = readSmallFile(file);
    if (!content)
        return std::nullopt;
    content->erase(content->find_last_not_of("\r\n") + 1);
    if (!isUuid(*content))
        return std::nullopt;
    return content;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

void syncDirectory(const fs::path& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

enum class WriteMode {
    Replace,      // the new content replaces an existing file
    CreateOrKeep, // an existing file wins; the new content is dropped
};

// Publishes `content` at `target` so that a reader sees either the old file or
// the complete new one, even across a crash or power loss: temporary file in
// the same folder, fsync, then rename (or link for CreateOrKeep), then fsync of
// the folder. The file is readable by the owner only.
bool writeFileAtomically(const fs::path& target, std::string_view content, WriteMode mode) {
    const fs::path directory = target.parent_path();
    std::string pattern = (directory / ("." + target.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    const fs::path temporary = pattern;
    const bool written = writeAll(fd, content) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    bool published = false;
    if (written && closed) {
        if (mode == WriteMode::Replace)
            published = ::rename(temporary.c_str(), target.c_str()) == 0;
        else
            published = ::link(temporary.c_str(), target.c_str()) == 0 || errno == EEXIST;
    }
    // After a rename the temporary name is gone already; after a link or a
    // failure it still has to go.
    ::unlink(temporary.c_str());
    if (published)
        syncDirectory(directory);
    return published;
}

// A random version 4 UUID in upper case.
std::string randomUuid() {
    std::random_device device;
    std::array<unsigned char, 16> bytes{};
    for (auto& byte : bytes)
        byte = static_cast<unsigned char>(device());
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        text += hexDigits[bytes[i] >> 4];
        text += hexDigits[bytes[i] & 0x0F];
    }
    return text;
}

// Nothing when the member is missing or null; throws json::exception when it
// is of another type than a string.
std::optional<std::string> optionalString(const json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null())
        return std::nullopt;
    return it->get<std::string>();
}

// Throws json::exception when a member is missing or of another type.
Pairing pairingFromJson(const json& document) {
    const json& settings = document.at("settings");
    Pairing pairing;
    pairing.organizationName = document.at("organizationName").get<std::string>();
    pairing.inn = document.at("inn").get<std::string>();
    pairing.environment = document.at("environment").get<std::string>();
    pairing.pairedAt = document.at("pairedAt").get<std::string>();
    pairing.settings.autoSign = settings.at("autoSign").get<bool>();
    pairing.settings.renewTrueApi = settings.at("renewTrueApi").get<bool>();
    pairing.settings.renewSuz = settings.at("renewSuz").get<bool>();
    pairing.settings.autoPrepareFbs = settings.at("autoPrepareFbs").get<bool>();
    pairing.settings.fiasId = optionalString(settings, "fiasId");
    pairing.settings.kpp = optionalString(settings, "kpp");
    return pairing;
}

} // namespace

fs::path dataDirectory(const EnvironmentLookup& env, const std::string& home, bool macos) {
    fs::path base;
    auto homeValue = env("HOME");
    const fs::path homeDir =
        (homeValue && !homeValue->empty()) ? fs::path(*homeValue) : fs::path(home);
    if (macos) {
        base = homeDir / "Library" / "Application Support";
    } else {
        const auto xdg = env("XDG_DATA_HOME");
        if (xdg && !xdg->empty() && fs::path(*xdg).is_absolute())
            base = *xdg;
        else
            base = homeDir / ".local" / "share";
    }
    return base / folderName;
}

std::string homeFromPasswordDatabase() {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* result = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) != 0 || !result ||
        !result->pw_dir)
        return {};
    return result->pw_dir;
}

bool isUuid(std::string_view text) {
    if (text.size() != 36)
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : hexDigits.find(text[i]) == std::string_view::npos)
            return false;
    }
    return true;
}

DataStore::DataStore(fs::path directory) : m_directory(std::move(directory)) {
    const fs::path file = m_directory / deviceIdFile;
    auto stored = readDeviceId(file);
    if (!stored) {
        std::error_code error;
        const bool damaged = fs::exists(file, error);
        m_deviceId = randomUuid();
        // A damaged file is replaced; otherwise an agent that starts at the same
        // moment and stores its identifier first wins, and both use that one.
        if (ensureDirectory() &&
            writeFileAtomically(file, m_deviceId + "\n",
                                damaged ? WriteMode::Replace : WriteMode::CreateOrKeep))
            stored = readDeviceId(file);
    }
    m_deviceIdPersistent = stored.has_value();
    if (stored)
        m_deviceId = *stored;
}

bool DataStore::ensureDirectory() const {
    std::error_code error;
    if (fs::is_directory(m_directory, error))
        return true;
    if (!fs::create_directories(m_directory, error))
        return fs::is_directory(m_directory, error);
    fs::permissions(m_directory, fs::perms::owner_all, fs::perm_options::replace, error);
    return true;
}

std::optional<Pairing> DataStore::pairing() const {
    std::lock_guard lock(m_mutex);
    const auto content = readSmallFile(m_directory / pairingFile);
    if (!content)
        return std::nullopt;
    const json document = json::parse(*content, nullptr, false);
    if (!document.is_object())
        return std::nullopt;
    try {
        return pairingFromJson(document);
    } catch (const json::exception&) {
        return std::nullopt;
    }
}

bool DataStore::savePairing(const Pairing& pairing) {
    const json document = {
        {"organizationName", pairing.organizationName},
        {"inn", pairing.inn},
        {"environment", pairing.environment},
        {"settings", settingsJson<json>(pairing.settings)},
        {"pairedAt", pairing.pairedAt},
    };
    std::lock_guard lock(m_mutex);
    return ensureDirectory() && writeFileAtomically(m_directory / pairingFile,
                                                    document.dump(2) + "\n", WriteMode::Replace);
}

bool DataStore::credentialsLocked() const {
    std::error_code error;
    return fs::exists(m_directory / lockFlagFile, error);
}

bool DataStore::unlockCredentials() {
    std::lock_guard lock(m_mutex);
    std::error_code error;
    fs::remove(m_directory / lockFlagFile, error);
    return !error;
}

} // namespace kestrel::agent
