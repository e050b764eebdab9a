# Partition discovery: the partition added through the partition service
# resolves to its data directory, program directory, user and notes.ini, and
# the process switches to the partition's user with the Notes environment.
PARTITION_DATA=$SAMPLE/data/notesdata1
PARTITION_HOME=$SAMPLE/opt/hcl/domino
PARTITION_USER=nobody
SUBCLIENT_DIR=$SAMPLE/data/subclient1

# The partition service section records these values; when it has not run,
# they are written here.
for entry in "$PARTITION_DATA=1" \
             "sDominoDataDir_1=$PARTITION_DATA" \
             "${PARTITION_DATA}_sDominoHomeDir=$PARTITION_HOME" \
             "sDominoUser_1=$PARTITION_USER"; do
    name=${entry%%=*}
    if ! "$LNDB" config get "$name" >/dev/null 2>&1; then
        "$LNDB" config set LotusNotesDBAgent "$name" "${entry#*=}"
    fi
done
# The reads above went to the debug log; the section shows its own.
show_debug_log >/dev/null

say "The partition's values in the configuration store (lndb config get)"
run "$LNDB" config get "$PARTITION_DATA"
run "$LNDB" config get sDominoDataDir --partition 1
run "$LNDB" config get "${PARTITION_DATA}_sDominoHomeDir"
run "$LNDB" config get sDominoUser --partition 1

# The partition's directories, its notes.ini, and a subclient directory that
# the partition's user receives. The user reads the data and program
# directories once the process runs as that user.
mkdir -p "$PARTITION_DATA" "$PARTITION_HOME/bin" "$SUBCLIENT_DIR"
[ -e "$PARTITION_DATA/notes.ini" ] || printf '[Notes]\nDirectory=%s\n' "$PARTITION_DATA" \
    >"$PARTITION_DATA/notes.ini"
chmod a+rx "$SAMPLE" "$SAMPLE/data" "$PARTITION_DATA" "$SAMPLE/opt" "$SAMPLE/opt/hcl" \
    "$PARTITION_HOME" "$PARTITION_HOME/bin"
chmod a+r "$PARTITION_DATA/notes.ini"

# The instance string is "Instance001", 0x12, then the data directory; the
# trailing "/" is dropped before the lookup. LD_LIBRARY_PATH and PATH must be
# set: the Notes directories are appended to them.
if [ "$(id -u)" -eq 0 ]; then
    say "Partition discovery (findDataPartition): switches to user $PARTITION_USER"
    # Its last lines are written as the partition's user, through the log
    # the process opened as root.
    run env LD_LIBRARY_PATH="$LIB" "$LNDB" partition find --instance Instance001 \
        --data-dir "$PARTITION_DATA/" --subclient "$SUBCLIENT_DIR"
    run ls -ld "$SUBCLIENT_DIR"
else
    say "Partition discovery (findDataPartition): not root, so the user switch is refused"
    if ! run env LD_LIBRARY_PATH="$LIB" "$LNDB" partition find --instance Instance001 \
        --data-dir "$PARTITION_DATA/" --subclient "$SUBCLIENT_DIR"; then
        echo "(refused, as expected without root: the process keeps its own user)"
    fi
fi

say "A data directory whose notes.ini is missing: no user switch, one critical event"
mkdir -p "$SAMPLE/data/notesdata2"
"$LNDB" config set LotusNotesDBAgent "$SAMPLE/data/notesdata2" 2
"$LNDB" config set LotusNotesDBAgent sDominoDataDir_2 "$SAMPLE/data/notesdata2"
"$LNDB" config set LotusNotesDBAgent "$SAMPLE/data/notesdata2_sDominoHomeDir" "$PARTITION_HOME"
"$LNDB" config set LotusNotesDBAgent sDominoUser_2 "$PARTITION_USER"
if ! run env LD_LIBRARY_PATH="$LIB" "$LNDB" partition find --instance Instance001 \
    --data-dir "$SAMPLE/data/notesdata2"; then
    echo "(no notes.ini: findDataPartition answered false)"
fi
run tail -n 1 "$SAMPLE/logs/events.log"

say "The partitions of the store (lndb partition list): notesdata2 has no notes.ini"
run "$LNDB" partition list
run "$LNDB" partition list --json
