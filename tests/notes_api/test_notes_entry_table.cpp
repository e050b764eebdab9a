// loadNotesFunctions: the 22 entry points of libnotes.so, in table order,
// from whichever libnotes.so the loader's path leads to.

#include "lndb/notes_entry_table.h"

#include "notes_test_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <string>
#include <vector>

namespace {

struct Entry {
    const char* symbol;
    void* address;
};

#define LNDB_ENTRY(name) Entry{#name, reinterpret_cast<void*>(KR_##name)}

// The table as it stands, in its order.
std::vector<Entry> entryTable()
{
    return {LNDB_ENTRY(ConvertFLOATToText), LNDB_ENTRY(NotesInitExtended),
            LNDB_ENTRY(NotesInitThread),    LNDB_ENTRY(NotesTerm),
            LNDB_ENTRY(NotesTermThread),    LNDB_ENTRY(NSFDbClose),
            LNDB_ENTRY(NSFDbOpen),          LNDB_ENTRY(NSFGetSummaryValue),
            LNDB_ENTRY(NSFItemGetText),     LNDB_ENTRY(NSFLocateSummaryValue),
            LNDB_ENTRY(NSFNoteClose),       LNDB_ENTRY(NSFNoteOpen),
            LNDB_ENTRY(NSFRemoteConsole),   LNDB_ENTRY(NSFSearch),
            LNDB_ENTRY(OSGetEnvironmentString), LNDB_ENTRY(OSLoadString),
            LNDB_ENTRY(OSLockObject),       LNDB_ENTRY(OSMemFree),
            LNDB_ENTRY(OSPathNetConstruct), LNDB_ENTRY(OSTranslate),
            LNDB_ENTRY(OSUnlockObject),     LNDB_ENTRY(TimeConstant)};
}

#undef LNDB_ENTRY

void* addressInLoadedLibrary(const char* symbol)
{
    return notestest::loadedNotesSymbol(symbol);
}

void marker() {}

// Points every entry at `marker`, to show which entries a call leaves alone.
void markAllEntries()
{
#define LNDB_MARK_ENTRY(name, result, parameters) KR_##name = reinterpret_cast<name##Fn>(&marker);
    LNDB_NOTES_ENTRY_POINTS(LNDB_MARK_ENTRY)
#undef LNDB_MARK_ENTRY
}

TEST(NotesEntryTable, AllNullAtLoad)
{
    for (const Entry& entry : entryTable())
        EXPECT_EQ(entry.address, nullptr) << entry.symbol;
}

TEST(NotesEntryTable, NoLibraryOnTheLoaderPath)
{
    lndbtest::TempDir emptyDirectory;
    if (!notestest::inProcessWithLibraryPath(emptyDirectory.path()))
        return;
    lndbtest::SampleInstallation installation;
    markAllEntries();

    EXPECT_FALSE(loadNotesFunctions());

    for (const Entry& entry : entryTable())
        EXPECT_EQ(entry.address, reinterpret_cast<void*>(&marker)) << entry.symbol << " changed";
    EXPECT_EQ(installation.debugLines(), std::vector<std::string>{"Could not load libnotes.so."});
}

TEST(NotesEntryTable, LibraryWithoutNSFSearchStopsAtRow14)
{
    if (!notestest::inProcessWithLibraryPath(notestest::fakeNotesWithoutSearchDir()))
        return;
    lndbtest::SampleInstallation installation;
    markAllEntries();

    EXPECT_FALSE(loadNotesFunctions());

    const std::vector<Entry> table = entryTable();
    for (size_t row = 0; row < 13; ++row) {
        EXPECT_NE(table[row].address, nullptr) << table[row].symbol;
        EXPECT_EQ(table[row].address, addressInLoadedLibrary(table[row].symbol)) << table[row].symbol;
    }
    EXPECT_EQ(table[13].address, nullptr) << "KR_NSFSearch";
    for (size_t row = 14; row < table.size(); ++row)
        EXPECT_EQ(table[row].address, reinterpret_cast<void*>(&marker)) << table[row].symbol << " looked up";
    EXPECT_EQ(installation.debugLines(),
              std::vector<std::string>{"Could not obtain address of NSFSearch from libnotes.so."});
}

TEST(NotesEntryTable, FullLibraryBindsAllAndStaysLoaded)
{
    if (!notestest::inProcessWithLibraryPath(notestest::fakeNotesDir()))
        return;
    lndbtest::SampleInstallation installation;

    ASSERT_TRUE(loadNotesFunctions());
    const std::vector<Entry> first = entryTable();
    for (const Entry& entry : first) {
        EXPECT_NE(entry.address, nullptr) << entry.symbol;
        EXPECT_EQ(entry.address, addressInLoadedLibrary(entry.symbol)) << entry.symbol;
    }

    // A second call opens the library again and stores the same addresses.
    ASSERT_TRUE(loadNotesFunctions());
    const std::vector<Entry> second = entryTable();
    for (size_t row = 0; row < first.size(); ++row)
        EXPECT_EQ(second[row].address, first[row].address) << first[row].symbol;

    // The library is never closed: the entries stay callable.
    EXPECT_NE(addressInLoadedLibrary("NotesInitExtended"), nullptr);
    EXPECT_TRUE(installation.debugLines().empty());
}

}  // namespace
