#include "CupsPrinters.h"

#include <algorithm>
#include <chrono>
#include <cups/cups.h>
#include <memory>
#include <string>
#include <thread>

namespace kestrel::agent {

namespace {

constexpr auto answerLimit = std::chrono::milliseconds(1500);
constexpr int connectTimeoutMs = 500;
constexpr double replyTimeoutSeconds = 1.0;

// Asked by CUPS when a reply takes longer than the timeout: 0 gives up.
int giveUp(http_t*, void*) {
    return 0;
}

struct HttpClose {
    void operator()(http_t* http) const { httpClose(http); }
};

CupsPrinters::Result queryCups() {
    // cupsGetDests() would use a connection without any time limit. Even with
    // these limits one query makes several exchanges and can take seconds
    // against a scheduler that does not answer, hence the overall limit too.
    std::unique_ptr<http_t, HttpClose> http(httpConnect2(cupsServer(), ippPort(), nullptr,
                                                         AF_UNSPEC, cupsEncryption(), 1,
                                                         connectTimeoutMs, nullptr));
    if (!http)
        return std::nullopt;
    httpSetTimeout(http.get(), replyTimeoutSeconds, giveUp, nullptr);

    cups_dest_t* dests = nullptr;
    const int count = cupsGetDests2(http.get(), &dests);
    if (count == 0 && cupsLastError() > IPP_STATUS_OK_EVENTS_COMPLETE) {
        cupsFreeDests(count, dests);
        return std::nullopt;
    }
    std::vector<Printer> printers;
    for (int i = 0; i < count; ++i) {
        const cups_dest_t& dest = dests[i];
        if (!dest.name)
            continue;
        const std::string name = dest.name;
        const auto existing = std::find_if(printers.begin(), printers.end(),
                                           [&](const Printer& p) { return p.name == name; });
        // Instances ("printer/instance") are option sets of one queue: the
        // queue is listed once, and is the default when one of its instances is.
        if (existing != printers.end())
            existing->isDefault = existing->isDefault || dest.is_default;
        else
            printers.push_back({name, dest.is_default != 0});
    }
    cupsFreeDests(count, dests);
    return printers;
}

} // namespace

CupsPrinters::Result CupsPrinters::operator()() {
    std::shared_future<Result> query;
    {
        std::lock_guard lock(m_mutex);
        if (!m_query.valid() ||
            m_query.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
            std::promise<Result> promise;
            m_query = promise.get_future().share();
            // Detached: a query past the limit finishes on its own, within
            // CUPS's own timeouts, and only touches its promise.
            std::thread([promise = std::move(promise)]() mutable {
                promise.set_value(queryCups());
            }).detach();
        }
        query = m_query;
    }
    if (query.wait_for(answerLimit) != std::future_status::ready)
        return std::nullopt;
    return query.get();
}

} // namespace kestrel::agent
