#include "tests/wine/check.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {
TestCase* g_first = nullptr;
TestCase* g_last = nullptr;
int g_failures_in_case = 0;
const char* g_skipped_because = nullptr;
std::vector<std::string> g_rows;

bool Matches(const TestCase& test_case, int filter_count, char** filters) {
    if (filter_count == 0) return true;
    std::string full = std::string(test_case.suite) + "." + test_case.name;
    for (int i = 0; i < filter_count; ++i) {
        if (full == filters[i] || std::strcmp(test_case.suite, filters[i]) == 0) return true;
    }
    return false;
}
}  // namespace

void RegisterTestCase(TestCase* test_case) {
    if (g_last) {
        g_last->next = test_case;
    } else {
        g_first = test_case;
    }
    g_last = test_case;
}

void ReportFailure(const char* file, int line, const std::string& what) {
    ++g_failures_in_case;
    const char* base = std::strrchr(file, '/');
    std::printf("    %s:%d: %s\n", base ? base + 1 : file, line, what.c_str());
    for (const std::string& row : g_rows) std::printf("      in the row: %s\n", row.c_str());
    std::fflush(stdout);
}

void SkipTestCase(const char* reason) { g_skipped_because = reason; }

CheckRow::CheckRow(std::string what) { g_rows.push_back(std::move(what)); }
CheckRow::~CheckRow() { g_rows.pop_back(); }

int RunTestCases(int filter_count, char** filters, void (*case_started)(const char* name)) {
    int passed = 0;
    int failed = 0;
    int skipped = 0;
    for (TestCase* test_case = g_first; test_case; test_case = test_case->next) {
        if (!Matches(*test_case, filter_count, filters)) continue;
        std::printf("[ RUN  ] %s.%s\n", test_case->suite, test_case->name);
        std::fflush(stdout);
        g_failures_in_case = 0;
        g_skipped_because = nullptr;
        g_rows.clear();
        if (case_started != nullptr) case_started(test_case->name);
        test_case->run();
        if (g_failures_in_case == 0 && g_skipped_because != nullptr) {
            ++skipped;
            std::printf("[ SKIP ] %s.%s: %s\n", test_case->suite, test_case->name, g_skipped_because);
        } else if (g_failures_in_case == 0) {
            ++passed;
            std::printf("[  OK  ] %s.%s\n", test_case->suite, test_case->name);
        } else {
            ++failed;
            std::printf("[ FAIL ] %s.%s\n", test_case->suite, test_case->name);
        }
        std::fflush(stdout);
    }
    if (skipped > 0) {
        std::printf("wine cases: %d passed, %d failed, %d skipped\n", passed, failed, skipped);
    } else {
        std::printf("wine cases: %d passed, %d failed\n", passed, failed);
    }
    std::fflush(stdout);
    return failed;
}
