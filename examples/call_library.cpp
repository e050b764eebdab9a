// How an agent process links liblndb and calls it: normalize a text for a
// file name, derive a log name, and launch a browse request.
//
// Build: see examples/CMakeLists.txt (or: g++ -std=c++20 call_library.cpp
//        -I<lndb>/include -L<build>/lib -llndb)

#include <lndb/lndb.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    std::string title = "Mail: alice/bob?";
    KRNormalizeText(title.data());
    std::printf("file-name-safe text: [%s]\n", title.c_str());

    if (char* name = GetLogFilename(argv[0])) {
        std::printf("log name of this program: %s\n", name);
        std::free(name);
    }

    if (argc > 1) {
        // browse() rewrites the path in place, so it gets a writable copy.
        std::string path = argv[1];
        std::string client = "example-client";
        std::string instance = "Instance001";
        const int result = browse(path.data(), 1, client.data(), instance.data(), 51);
        std::printf("browse(%s) = %d\n", path.c_str(), result);
        return result;
    }
    return 0;
}
