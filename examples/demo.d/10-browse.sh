# Browse: the discovery tool of application type 51 walks a data directory
# written the Windows way, with backslashes.
mkdir -p "$SAMPLE/data/browse/mail"
for db in names.nsf log.nsf mail/alice.nsf mail/bob.nsf pernames.ntf; do
    : >"$SAMPLE/data/browse/$db"
done
: >"$SAMPLE/data/browse/readme.txt"

say "Browse (application type 51: lndbGleaner/nsfdbScout)"
run "$LNDB" browse --type 51 --client client1 --instance Instance001 --seq 42 \
    "${SAMPLE//\//\\}\\data\\browse"
say "Browse with an unknown application type (53): nothing is started"
run "$LNDB" browse --type 53 --client client1 --instance Instance001 --seq 43 'C:\notes\data'
