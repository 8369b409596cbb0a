// The main of the test programs whose tests make HTTP requests: the library is set up once around the
// whole run, before any test starts a thread, as each program's own main does.

#include <gtest/gtest.h>

#include <iostream>

#include "transcription/http_library.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    const transcription::HttpLibrary http_library;
    if (!http_library.problem().empty()) {
        std::cerr << http_library.problem() << '\n';
        return 1;
    }
    return RUN_ALL_TESTS();
}
