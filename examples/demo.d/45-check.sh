# lndb check: everything the Notes bring-up, browse and the partition service
# depend on, one line per check with the fix for each failure. Partition 1,
# set up as its user needs it, passes; partition 2 (no notes.ini, a data
# directory of root's) fails with exit status 1, and the demo goes on.
PARTITION_DATA=${PARTITION_DATA:-$SAMPLE/data/notesdata1}
PARTITION_HOME=${PARTITION_HOME:-$SAMPLE/opt/hcl/domino}

# Domino keeps its message texts in res/C beside libnotes.so, and a
# partition's data directory and notes.ini belong to the partition's user.
mkdir -p "$PARTITION_HOME/notes/latest/linux/res/C"
chmod -R a+rX "$PARTITION_HOME/notes"
if [ "$(id -u)" -eq 0 ]; then
    chown nobody "$PARTITION_DATA" "$PARTITION_DATA/notes.ini"
    say "Check partition 1 and start Notes for it (lndb check --init --server)"
    # The Notes start-up extends LD_LIBRARY_PATH and PATH: both must be set.
    run env LD_LIBRARY_PATH="$LIB" "$LNDB" check --partition 1 --init --server Mail01/Acme \
        --subclient "$SAMPLE/data/subclient1"
else
    say "Check partition 1: not root, so the checks as the partition's user are refused"
    status=0
    run "$LNDB" check --partition 1 || status=$?
    echo "(exit status $status)"
fi

say "Check partition 2: its notes.ini is missing, its data directory is root's"
status=0
run "$LNDB" check --partition 2 || status=$?
echo "(exit status $status: a check failed; the demo goes on)"

say "The same for a monitoring system (lndb check --partition 2 --json), abridged"
status=0
document=$("$LNDB" check --partition 2 --json) || status=$?
printf '%s\n' "$document" | python3 -c '
import json, sys
document = json.load(sys.stdin)
print("status:", document["status"])
for check in document["checks"]:
    if check["verdict"] != "PASS":
        print(json.dumps(check))
'
echo "(exit status $status)"
