// Notes C API entry table (filled by loadNotesFunctions).
#pragma once
