// lndb partition: Domino partitions: administration requests and discovery.

#include "commands.h"

namespace lndbcli {
namespace {

const Command kCommands[] = {
    {"serve", "[--socket PATH] [--once]",
     "Answer partition requests on a Unix socket, up to 32 connections at once, until SIGTERM.",
     runPartitionServe, {},
     "The socket is bound at PATH (mode 0600; PATH.lock keeps a second server off).\n"
     "Under systemd socket activation (LISTEN_FDS, e.g. lndb-partition.socket) the one\n"
     "listening Unix stream socket that systemd passes is served instead, without\n"
     "--socket: no path is bound, renamed or removed and no lock is taken (systemd owns\n"
     "the socket), and readiness and stopping are reported to systemd (READY=1,\n"
     "STOPPING=1). --once: serve one connection, then exit."},
    {"add", "--socket PATH --number N ARG1 ARG2 ARG3",
     "Send a request to add partition N; print the response; exit 0 when its errorCode is 0.",
     runPartitionAdd},
    {"delete", "--socket PATH --number N ARG1",
     "Send a request to delete partition N; print the response; exit 0 when its errorCode is 0.",
     runPartitionDelete},
    {"find", "--instance NAME --data-dir DIR [--subclient DIR]",
     "Resolve a partition with findDataPartition (switches to its user); exit 1 when it fails.",
     runPartitionFind},
};

}  // namespace

const std::span<const Command> kPartitionCommands{kCommands};

}  // namespace lndbcli
