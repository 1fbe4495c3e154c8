// The agent's state files and printer names, whatever they contain, never
// make its health or printers reply one the application cannot decode: that
// would leave the application on "starting" for good.
//
// Input: NUL-separated fields: pairing.json, device-id, a flag byte (bit 0:
// the credential lock file exists, bit 1: the print system answers), then
// printer names, the first one the default.

#include "AgentFixture.h"
#include "FuzzCheck.h"
#include "agentclient/AgentHealth.h"
#include "agentclient/PrintersResponse.h"

#include <QByteArray>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string_view>

using namespace kestrel::agent;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> fields(std::string_view input) {
    std::vector<std::string> result;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = input.find('\0', start);
        result.emplace_back(input.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos)
            return result;
        start = end + 1;
    }
}

void writeOrRemove(const fs::path& file, const std::string* content) {
    std::error_code ignored;
    fs::remove(file, ignored);
    if (content)
        std::ofstream(file, std::ios::binary) << *content;
}

Response get(const Agent& agent, const std::string& path) {
    return agent.handle({"GET", path, {{"Host", "localhost:43127"}}, {}});
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fs::path folder = kestrel::fuzz::scratchFolder();
    const std::vector<std::string> parts =
        fields(std::string_view(reinterpret_cast<const char*>(data), size));
    const auto part = [&](std::size_t i) { return i < parts.size() ? &parts[i] : nullptr; };
    const unsigned flags =
        part(2) && !part(2)->empty() ? static_cast<unsigned char>((*part(2))[0]) : 0;

    writeOrRemove(folder / DataStore::pairingFile, part(0));
    writeOrRemove(folder / DataStore::deviceIdFile, part(1));
    const std::string locked = "1";
    writeOrRemove(folder / DataStore::lockFlagFile, (flags & 1) ? &locked : nullptr);

    std::vector<Printer> printers;
    for (std::size_t i = 3; i < parts.size(); ++i)
        printers.push_back({parts[i], i == 3});
    DataStore store(folder);
    FUZZ_CHECK(isUuid(store.deviceId()));
    const Agent agent(
        {"1.0.0", "linux", "x86_64"}, store,
        [&]() -> std::optional<std::vector<Printer>> {
            if (flags & 2)
                return printers;
            return std::nullopt;
        },
        kestrel::fuzz::appSecret);

    const Response health = get(agent, "/v1/health");
    FUZZ_CHECK(health.status == 200);
    const auto decoded = kestrel::AgentHealth::fromBody(QByteArray::fromStdString(health.body));
    FUZZ_CHECK(decoded && decoded->ok() && decoded->version() == QLatin1String("1.0.0"));
    FUZZ_CHECK(decoded->signing().has_value());
    FUZZ_CHECK((decoded->signing()->code() == QLatin1String("keychain_locked")) == bool(flags & 1));

    const Response list = get(agent, "/v1/printers");
    const auto response = kestrel::PrintersResponse::fromBody(QByteArray::fromStdString(list.body));
    FUZZ_CHECK(response && response->ok() == bool(flags & 2));
    if (flags & 2)
        FUZZ_CHECK(response->printers().size() == printers.size());
    return 0;
}
