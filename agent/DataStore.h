#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel::agent {

struct PairingSettings {
    bool autoSign = false;
    bool renewTrueApi = false;
    bool renewSuz = false;
    bool autoPrepareFbs = false;
    std::optional<std::string> fiasId;
    std::optional<std::string> kpp;
};

struct Pairing {
    std::string organizationName;
    std::string inn;
    std::string environment;
    PairingSettings settings;
    std::string pairedAt;
};

// The settings as a JSON object of `Json` (nlohmann::json or ordered_json,
// which keeps this order of members).
template <typename Json> Json settingsJson(const PairingSettings& settings) {
    Json object = {
        {"autoSign", settings.autoSign},
        {"renewTrueApi", settings.renewTrueApi},
        {"renewSuz", settings.renewSuz},
        {"autoPrepareFbs", settings.autoPrepareFbs},
    };
    if (settings.fiasId)
        object["fiasId"] = *settings.fiasId;
    if (settings.kpp)
        object["kpp"] = *settings.kpp;
    return object;
}

using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;

// The agent's data folder: on macOS "~/Library/Application Support/KestrelAgent",
// elsewhere "$XDG_DATA_HOME/KestrelAgent" (only an absolute XDG_DATA_HOME
// counts) or "~/.local/share/KestrelAgent". `home` is used when HOME is unset
// or empty.
std::filesystem::path dataDirectory(const EnvironmentLookup& env, const std::string& home,
                                    bool macos);

// The current user's home folder from the password database.
std::string homeFromPasswordDatabase();

bool isUuid(std::string_view text);

// The agent's persistent state: device identifier, pairing, and the simulated
// credential lock. The disk is the only truth for the pairing and the lock, so
// that a tester can change them while the agent runs. Safe to use from several
// threads.
class DataStore {
public:
    // Loads the device identifier, creating and storing it on first use. When
    // it cannot be stored, an identifier for this run only is used and
    // deviceIdPersistent() is false.
    explicit DataStore(std::filesystem::path directory);

    const std::filesystem::path& directory() const { return m_directory; }
    const std::string& deviceId() const { return m_deviceId; }
    bool deviceIdPersistent() const { return m_deviceIdPersistent; }

    std::optional<Pairing> pairing() const;
    bool savePairing(const Pairing& pairing);

    bool credentialsLocked() const;
    bool unlockCredentials();

    static constexpr char deviceIdFile[] = "device-id";
    static constexpr char pairingFile[] = "pairing.json";
    static constexpr char lockFlagFile[] = "keychain-locked";

private:
    bool ensureDirectory() const;

    std::filesystem::path m_directory;
    std::string m_deviceId;
    bool m_deviceIdPersistent = false;
    mutable std::mutex m_mutex;
};

} // namespace kestrel::agent
