#include "AgentCore.h"

#include "DataStore.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

namespace kestrel::agent {

using nlohmann::ordered_json;

namespace {

constexpr std::string_view healthPath = "/v1/health";
constexpr std::string_view printersPath = "/v1/printers";
constexpr std::string_view appPrefix = "/v1/app/";
constexpr std::array<std::string_view, 4> appActions = {"pairing-preview", "pairing-confirm",
                                                        "unlock-credentials", "resume"};
constexpr char textForeignHost[] = "Запрос отклонён: служба принимает запросы только по адресу "
                                   "localhost, 127.0.0.1 или [::1].";
constexpr char textNoSecret[] = "Служба печати запущена без ключа приложения и не принимает "
                                "запросы приложения. Перезапустите приложение.";
constexpr char textWrongSecret[] = "Запрос отклонён: приложение не подтвердило свою подлинность. "
                                   "Перезапустите приложение.";
constexpr char textNotJsonType[] = "Запрос отклонён: ожидается тело типа application/json.";
constexpr char textBadJson[] = "Запрос повреждён: тело должно быть объектом JSON.";
constexpr char textBadToken[] = "Ссылка подключения повреждена. Повторите «Открыть Агент KESTREL» "
                                "в кабинете.";
constexpr char textSaveFailed[] = "Не удалось сохранить подключение на этом компьютере. "
                                  "Проверьте свободное место и права на папку данных службы.";
constexpr char textUnlockFailed[] = "Не удалось снять блокировку ключа подписи.";
constexpr char textUnknownPath[] = "Неизвестный запрос.";
constexpr char textWrongMethod[] = "Этот метод запроса не поддерживается.";

constexpr char messageNotConfigured[] = "не настроена — подключите агент в кабинете";
constexpr char messageReady[] = "готова (демонстрационный режим)";
constexpr char messageLocked[] = "нет доступа к ключу подписи — нажмите «Разрешить доступ»";

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowered(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(), lower);
    return result;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

std::string dumped(const ordered_json& value) {
    // A version text from the bundle is not guaranteed to be UTF-8; replace
    // bad bytes instead of failing the reply.
    return value.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

Response jsonResponse(int status, const ordered_json& body) {
    return {status, dumped(body), {}};
}

Response okResponse() {
    return jsonResponse(200, {{"ok", true}});
}

Response methodNotAllowed(const char* allowed) {
    Response response = errorResponse(405, textWrongMethod);
    response.headers.emplace_back("Allow", allowed);
    return response;
}

// Exactly one value of the header, or nothing.
std::optional<std::string_view> singleHeader(const Headers& headers, const char* name) {
    const auto [first, last] = headers.equal_range(name);
    if (first == last || std::next(first) != last)
        return std::nullopt;
    return std::string_view(first->second);
}

// Whether a comma-separated header list, in any of the header's fields,
// holds `token` (any letter case).
bool listHasToken(const Headers& headers, const char* name, std::string_view token) {
    const auto [first, last] = headers.equal_range(name);
    for (auto field = first; field != last; ++field) {
        std::string_view rest = field->second;
        while (!rest.empty()) {
            const auto comma = rest.find(',');
            if (lowered(trimmed(rest.substr(0, comma))) == token)
                return true;
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        }
    }
    return false;
}

ordered_json printersJson(const PrinterList& list) {
    ordered_json entries = ordered_json::array();
    if (list) {
        for (const auto& printer : *list)
            entries.push_back({{"name", printer.name}, {"isDefault", printer.isDefault}});
    }
    return {{"ok", list.has_value()}, {"printers", entries}};
}

bool isJsonContentType(std::string_view value) {
    const auto semicolon = value.find(';');
    return lowered(trimmed(value.substr(0, semicolon))) == "application/json";
}

// The action named by an application path ("resume"), or "" for any other path.
std::string_view appAction(std::string_view path) {
    if (!path.starts_with(appPrefix))
        return {};
    const std::string_view action = path.substr(appPrefix.size());
    const bool known = std::find(appActions.begin(), appActions.end(), action) != appActions.end();
    return known ? action : std::string_view();
}

// A request path safe to write to the log: known endpoints as they are,
// everything else as a placeholder, so nothing a caller puts in a path
// (a token, a line feed) reaches the log.
std::string_view loggablePath(std::string_view path) {
    const bool known = path == healthPath || path == printersPath || !appAction(path).empty();
    return known ? path : "<other>";
}

// 64 characters, each a letter, digit, "_" or "-".
bool isWellFormedPairingToken(std::string_view token) {
    return token.size() == 64 && std::all_of(token.begin(), token.end(), [](char c) {
               return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '_' || c == '-';
           });
}

// Equality whose running time does not depend on where the values differ.
bool constantTimeEquals(std::string_view a, std::string_view b) {
    unsigned difference = a.size() == b.size() ? 0U : 1U;
    const std::size_t length = std::max(a.size(), b.size());
    for (std::size_t i = 0; i < length; ++i) {
        const auto x = static_cast<unsigned char>(i < a.size() ? a[i] : 0);
        const auto y = static_cast<unsigned char>(i < b.size() ? b[i] : 0);
        difference |= static_cast<unsigned>(x ^ y);
    }
    return difference == 0;
}

// The simulated cabinet's answer for every well-formed token. All of it is
// demonstration data: no real organisation, INN or certificate.
Pairing demonstrationPairing() {
    Pairing pairing;
    pairing.organizationName = "ООО «Демонстрация»";
    pairing.inn = "0000000000";
    pairing.environment = "test";
    pairing.settings.autoSign = true;
    pairing.settings.renewTrueApi = true;
    pairing.settings.renewSuz = false;
    pairing.settings.autoPrepareFbs = true;
    pairing.settings.fiasId = "00000000-0000-0000-0000-000000000000";
    pairing.settings.kpp = "000000000";
    return pairing;
}

ordered_json previewJson(const Pairing& pairing) {
    return {
        {"organizationName", pairing.organizationName},
        {"inn", pairing.inn},
        {"environment", pairing.environment},
        {"certificateThumbprint", "0000000000000000000000000000000012345678"},
        {"certificateSubject",
         "CN=" + pairing.organizationName + " (демонстрационный сертификат), INN=" + pairing.inn},
        {"certificateValidTo", "31.12.2099"},
        {"settings", settingsJson<ordered_json>(pairing.settings)},
        {"demonstration", true},
    };
}

} // namespace

std::string utcTimestamp() {
    const auto now = std::chrono::system_clock::now();
    const auto seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm parts{};
    ::gmtime_r(&seconds, &parts);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<int>(millis));
    return text;
}

bool CaseInsensitiveLess::operator()(std::string_view a, std::string_view b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return lower(x) < lower(y); });
}

bool isLoopbackHost(std::string_view host, int port) {
    const std::string value = lowered(host);
    std::string_view name = value;
    std::optional<std::string_view> portText;
    if (!name.empty() && name.front() == '[') {
        const auto close = name.find(']');
        if (close == std::string_view::npos)
            return false;
        const std::string_view rest = name.substr(close + 1);
        name = name.substr(0, close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':')
                return false;
            portText = rest.substr(1);
        }
    } else if (const auto colon = name.find(':'); colon != std::string_view::npos) {
        portText = name.substr(colon + 1);
        name = name.substr(0, colon);
    }
    if (name != "localhost" && name != "127.0.0.1" && name != "[::1]")
        return false;
    if (!portText)
        return true;
    if (portText->empty() || portText->size() > 5 ||
        !std::all_of(portText->begin(), portText->end(),
                     [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    return std::stoi(std::string(*portText)) == port;
}

std::optional<std::string> RequestLog::line(std::string_view method, std::string_view path,
                                            int status) {
    if (status == 403 || status == 404 || status == 405) {
        countRefusal(status);
        return std::nullopt;
    }
    // The method is one token of the request line, but nothing forbids odd
    // bytes in it: only plain methods are written as they are.
    const bool plainMethod =
        !method.empty() && method.size() <= 10 &&
        std::all_of(method.begin(), method.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
    const std::string_view shownMethod = plainMethod ? method : "<other>";
    const std::string_view shownPath = loggablePath(path);
    std::string text = "request method=" + std::string(shownMethod) +
                       " path=" + std::string(shownPath) + " status=" + std::to_string(status);

    const bool poll = (method == "GET" || method == "HEAD") &&
                      (shownPath == healthPath || shownPath == printersPath);
    if (!poll)
        return text;
    std::lock_guard lock(m_mutex);
    const std::string key = std::string(method) + " " + std::string(shownPath);
    const auto it = m_polls.find(key);
    if (it != m_polls.end() && it->second.status == status) {
        ++it->second.skipped;
        return std::nullopt;
    }
    if (it != m_polls.end() && it->second.skipped > 0)
        text += " repeats_not_logged=" + std::to_string(it->second.skipped);
    m_polls[key] = {status, 0};
    return text;
}

void RequestLog::countRefusal(int status) {
    std::lock_guard lock(m_mutex);
    ++m_refusals[status];
}

bool RequestLog::hasRefusals() const {
    std::lock_guard lock(m_mutex);
    return !m_refusals.empty();
}

std::optional<std::string> RequestLog::refusalSummary() {
    std::lock_guard lock(m_mutex);
    if (m_refusals.empty())
        return std::nullopt;
    unsigned long long total = 0;
    std::string byStatus;
    for (const auto& [status, count] : m_refusals) {
        total += count;
        byStatus +=
            (byStatus.empty() ? "" : ",") + std::to_string(status) + ":" + std::to_string(count);
    }
    m_refusals.clear();
    return "refused_requests count=" + std::to_string(total) + " by_status=" + byStatus;
}

bool answerFromCache(const Headers& headers, std::optional<Clock::duration> age,
                     Clock::duration lifetime) {
    return age && *age < lifetime && !listHasToken(headers, "Cache-Control", "no-cache") &&
           !listHasToken(headers, "Pragma", "no-cache");
}

Response errorResponse(int status, std::string_view text) {
    return jsonResponse(status, {{"ok", false}, {"error", std::string(text)}});
}

Agent::Agent(Identity identity, DataStore& store, PrinterSource printers,
             std::optional<std::string> appSecret, int port, Now now)
    : m_identity(std::move(identity)), m_store(store), m_printers(std::move(printers)),
      m_appSecret(std::move(appSecret)), m_port(port), m_now(std::move(now)) {
    if (m_appSecret && m_appSecret->empty())
        m_appSecret.reset();
}

std::optional<Response> Agent::screen(const Request& request) const {
    const auto host = singleHeader(request.headers, "Host");
    if (!host || !isLoopbackHost(*host, m_port))
        return errorResponse(403, textForeignHost);

    if (request.path == healthPath || request.path == printersPath) {
        const bool read = request.method == "GET" || request.method == "HEAD";
        return read ? std::nullopt : std::optional(methodNotAllowed("GET"));
    }
    if (appAction(request.path).empty())
        return errorResponse(404, textUnknownPath);
    if (request.method != "POST")
        return methodNotAllowed("POST");
    if (!m_appSecret)
        return errorResponse(403, textNoSecret);
    const auto presented = singleHeader(request.headers, "X-Kestrel-App");
    if (!presented || !constantTimeEquals(*presented, *m_appSecret))
        return errorResponse(403, textWrongSecret);
    const auto contentType = singleHeader(request.headers, "Content-Type");
    if (!contentType || !isJsonContentType(*contentType))
        return errorResponse(415, textNotJsonType);
    return std::nullopt;
}

std::optional<Response> Agent::answerAtOnce(const Request& request) const {
    if (request.path != printersPath || screen(request))
        return handle(request);
    std::lock_guard lock(m_printerMutex);
    const auto age = m_printersAskedAt ? std::optional(m_now() - *m_printersAskedAt) : std::nullopt;
    if (!answerFromCache(request.headers, age))
        return std::nullopt;
    return jsonResponse(200, printersJson(m_lastPrinters));
}

Response Agent::handle(const Request& request) const {
    if (auto refusal = screen(request))
        return *std::move(refusal);
    if (request.path == healthPath)
        return health();
    if (request.path == printersPath)
        return printers(request);
    return answerApp(request, appAction(request.path));
}

Response Agent::health() const {
    const auto pairing = m_store.pairing();
    const bool locked = m_store.credentialsLocked();
    const bool ready = pairing && !locked;
    ordered_json signing = {{"configured", pairing.has_value()}, {"enabled", ready}};
    if (!ready)
        signing["code"] = locked ? "keychain_locked" : "not_configured";
    signing["message"] = ready ? messageReady : locked ? messageLocked : messageNotConfigured;
    if (pairing)
        signing["organizationName"] = pairing->organizationName;
    if (ready) {
        signing["autoSign"] = pairing->settings.autoSign;
        signing["renewTrueApi"] = pairing->settings.renewTrueApi;
        signing["renewSuz"] = pairing->settings.renewSuz;
        signing["autoPrepareFbs"] = pairing->settings.autoPrepareFbs;
    }
    return jsonResponse(200, {
                                 {"ok", true},
                                 {"name", agentName},
                                 {"version", m_identity.version},
                                 {"platform", m_identity.platform},
                                 {"architecture", m_identity.architecture},
                                 {"deviceId", m_store.deviceId()},
                                 {"formats", ordered_json::array({"pdf", "png"})},
                                 {"signing", signing},
                             });
}

Response Agent::printers(const Request& request) const {
    // Another request may have refreshed the answer while this one waited.
    if (auto kept = answerAtOnce(request))
        return *std::move(kept);
    const auto askedAt = m_now();
    PrinterList list = m_printers ? m_printers() : std::nullopt;
    const ordered_json body = printersJson(list);
    std::lock_guard lock(m_printerMutex);
    // Also an answer that the print system cannot be asked is kept: a machine
    // without a print system is not asked every 3 seconds either. An answer
    // to an older question than the one kept is not kept.
    if (!m_printersAskedAt || askedAt >= *m_printersAskedAt) {
        m_printersAskedAt = askedAt;
        m_lastPrinters = std::move(list);
    }
    return jsonResponse(200, body);
}

Response Agent::answerApp(const Request& request, std::string_view action) const {
    const auto body = ordered_json::parse(request.body, nullptr, false);
    if (!body.is_object())
        return errorResponse(400, textBadJson);

    if (action == "pairing-preview" || action == "pairing-confirm") {
        const auto token = body.find("pairingToken");
        if (token == body.end() || !token->is_string() ||
            !isWellFormedPairingToken(token->get_ref<const std::string&>()))
            return errorResponse(400, textBadToken);
        Pairing pairing = demonstrationPairing();
        if (action == "pairing-preview")
            return jsonResponse(200, previewJson(pairing));
        pairing.pairedAt = utcTimestamp();
        if (!m_store.savePairing(pairing))
            return errorResponse(500, textSaveFailed);
        return okResponse();
    }
    if (action == "unlock-credentials" && !m_store.unlockCredentials())
        return errorResponse(500, textUnlockFailed);
    return okResponse(); // for resume, the simulation has nothing to wake up
}

} // namespace kestrel::agent
