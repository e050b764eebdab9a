// The --json output of the lndb command: one document on standard output.
#pragma once

#include <nlohmann/json.hpp>

namespace lndbcli {

using Json = nlohmann::ordered_json;

// Writes `document` and a line feed to standard output. Texts are written as
// JSON strings whatever bytes they hold: a byte that is not part of valid
// UTF-8 becomes U+FFFD instead of failing the output.
void printJson(const Json& document);

}  // namespace lndbcli
