# Notes API: bind libnotes.so (the project's fake, installed where a Domino
# program directory keeps it), start the Notes API on partition 1, ask the
# server whether a maintenance task works on a busy and on an idle database,
# and send a process's output into its Notes API log.
PARTITION_DATA=${PARTITION_DATA:-$SAMPLE/data/notesdata1}
PARTITION_HOME=${PARTITION_HOME:-$SAMPLE/opt/hcl/domino}
NOTES_LIB_DIR=$PARTITION_HOME/notes/latest/linux
SERVER=Mail01/Acme

mkdir -p "$NOTES_LIB_DIR"
cp "$BUILD/fake-notes/libnotes.so" "$NOTES_LIB_DIR/libnotes.so"
cp "$HERE/sample/show_tasks.txt" "$PARTITION_DATA/show_tasks.txt"
# The fake answers "SHOW TASKS" from FakeConsoleFile; the Notes variables
# KeyFileName and Directory come from the same notes.ini.
sed -i '/^FakeConsoleFile=/d; /^KeyFileName=/d; /^Directory=/d' "$PARTITION_DATA/notes.ini"
printf 'Directory=%s\nKeyFileName=server.id\nFakeConsoleFile=%s\n' "$PARTITION_DATA" \
    "$PARTITION_DATA/show_tasks.txt" >>"$PARTITION_DATA/notes.ini"
chmod -R a+rX "$PARTITION_HOME/notes" "$PARTITION_DATA"

say "Bind the Notes API (loadNotesFunctions) from the partition's program directory"
run "$LNDB" notes load --notes-dir "$PARTITION_HOME"

say "Without a libnotes.so on the loader's path"
printf '$ %s\n' "$LNDB notes load"
status=0
loaded=$("$LNDB" notes load) || status=$?
printf '%s\n' "$loaded" | head -n 1
echo "(exit $status; every entry point stays null)"

NOTES_ARGS=(--notes-dir "$PARTITION_HOME" --instance Instance001 --data-dir "$PARTITION_DATA")
if [ "$(id -u)" -eq 0 ]; then
    say "Start the Notes API on partition 1 (initializeWithPartition, as user nobody)"
    run "$LNDB" notes init "${NOTES_ARGS[@]}"

    say "The server's task list (examples/sample/show_tasks.txt, CRLF line ends)"
    sed -n '/^  Task/,$p' "$HERE/sample/show_tasks.txt" | tr -d '\r'

    for database in mail/alice.nsf mail/bob.nsf; do
        say "Is a maintenance task working on $database? (isDBMaintananceTaskRunning)"
        status=0
        run "$LNDB" notes tasks "${NOTES_ARGS[@]}" --server "$SERVER" "$database" || status=$?
        echo "(exit status $status; 0 busy, 1 idle, 3 no answer)"
    done
else
    say "Start the Notes API on partition 1: not root, so the switch to nobody is refused"
    if ! run "$LNDB" notes init "${NOTES_ARGS[@]}"; then
        echo "(refused, as expected without root)"
    fi
fi

# GetInstanceName reads ../orrery_vm from the working directory.
say "Standard output and error into the Notes API log (lndb log redirect)"
mkdir -p "$SAMPLE/install/bin"
printf 'ORRERY_INST="Instance001"\n' >"$SAMPLE/install/orrery_vm"
(cd "$SAMPLE/install/bin" && run "$LNDB" log redirect)
NOTES_API_LOG=$SAMPLE/logs/lndb_Instance001_NotesAPI.log
say "The Notes API log (${NOTES_API_LOG#$BUILD/})"
sed 's/^/   /' "$NOTES_API_LOG"
