#pragma once

#include <QString>

namespace kestrel {

// A fresh per-launch secret shared with the agent: two random UUIDs in upper
// case, joined without separator (72 characters). Never write it to the log.
QString makeAppSecret();

} // namespace kestrel
