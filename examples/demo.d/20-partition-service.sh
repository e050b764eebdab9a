# Partition administration: `lndb partition serve` hosts AddorDeletePartition
# on a Unix socket; the sample NotesPostInstall of the base home directory
# records each partition in the store with `lndb config`.
PARTITION_SOCKET=$SAMPLE/partition.sock
export LNDB  # NotesPostInstall finds the lndb command through $LNDB
mkdir -p "$SAMPLE/data/notesdata1" "$SAMPLE/data/notesdata2" "$SAMPLE/opt/hcl/domino"

say "Partition service: lndb partition serve on ${PARTITION_SOCKET#"$SAMPLE"/}"
"$LNDB" partition serve --socket "$PARTITION_SOCKET" &
partition_server=$!
for _ in {1..200}; do
    [ -S "$PARTITION_SOCKET" ] && break
    sleep 0.05
done
ls -l "$PARTITION_SOCKET"

say "Add partition 1"
run "$LNDB" partition add --socket "$PARTITION_SOCKET" --number 1 \
    "$SAMPLE/data/notesdata1" "$SAMPLE/opt/hcl/domino" nobody
say "Add partition 2, then delete it"
run "$LNDB" partition add --socket "$PARTITION_SOCKET" --number 2 \
    "$SAMPLE/data/notesdata2" "$SAMPLE/opt/hcl/domino" nobody
run "$LNDB" partition delete --socket "$PARTITION_SOCKET" --number 2 "$SAMPLE/data/notesdata2"
say "A refused request: the data directory does not exist"
run "$LNDB" partition add --socket "$PARTITION_SOCKET" --number 3 \
    "$SAMPLE/data/notesdata3" "$SAMPLE/opt/hcl/domino" nobody || echo "(exit status $?)"

say "The store afterwards: partition 1 recorded, partition 2 gone"
run cat "$KR_REGISTRY_DIR/$KR_INSTANCE.ini"

say "Stop the server (SIGTERM); its socket file goes with it"
kill -TERM "$partition_server"
wait "$partition_server"
[ -e "$PARTITION_SOCKET" ] && echo "socket still there" || echo "socket removed"
