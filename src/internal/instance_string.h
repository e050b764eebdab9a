// The instance string that names a Domino partition:
// "<instance name>\x12<data directory>".
#pragma once

namespace lndb {

inline constexpr char kInstanceDelimiter = '\x12';

}  // namespace lndb
