// A small test runner for the Windows test host: cases register themselves,
// run in registration order, and report every failed check with its values.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>

struct TestCase {
    const char* suite;
    const char* name;
    void (*run)();
    TestCase* next;
};

void RegisterTestCase(TestCase* test_case);
// Marks the running case as skipped, with the reason the runner prints.
void SkipTestCase(const char* reason);
// Runs every case whose suite or "suite.name" matches one of the filters
// (all cases without filters); returns the number of failed cases. Each
// case's start is announced to `case_started` (may be null) with its name.
int RunTestCases(int filter_count, char** filters, void (*case_started)(const char* name) = nullptr);
void ReportFailure(const char* file, int line, const std::string& what);

// Names the row of a table that the checks in its scope belong to: a failed
// check reports the rows it is in, innermost last.
class CheckRow {
public:
    explicit CheckRow(std::string what);
    ~CheckRow();
    CheckRow(const CheckRow&) = delete;
    CheckRow& operator=(const CheckRow&) = delete;
};

#define OFFLOADER_JOIN2(a, b) a##b
#define OFFLOADER_JOIN(a, b) OFFLOADER_JOIN2(a, b)

#define TEST_CASE(suite, name)                                                                  \
    static void suite##_##name();                                                               \
    static TestCase OFFLOADER_JOIN(suite##_##name, _case) = {#suite, #name, suite##_##name, 0}; \
    static const bool OFFLOADER_JOIN(suite##_##name, _registered) =                             \
        (RegisterTestCase(&OFFLOADER_JOIN(suite##_##name, _case)), true);                       \
    static void suite##_##name()

namespace check_detail {
inline std::string Show(const std::string& value) { return "\"" + value + "\""; }
inline std::string Show(const char* value) { return value ? Show(std::string(value)) : "(null)"; }
inline std::string Show(char* value) { return Show(static_cast<const char*>(value)); }
inline std::string Show(bool value) { return value ? "true" : "false"; }
inline std::string Show(const void* value) {
    std::ostringstream out;
    out << value;
    return out.str();
}
template <class T>
std::string Show(const T& value) {
    std::ostringstream out;
    out << value;
    return out.str();
}
inline std::string Show(unsigned char value) { return Show(static_cast<unsigned>(value)); }
inline std::string Show(signed char value) { return Show(static_cast<int>(value)); }

template <class A, class B>
bool CheckEqual(const A& a, const B& b, const char* a_text, const char* b_text, const char* file, int line) {
    if (a == b) return true;
    ReportFailure(file, line, std::string(a_text) + " == " + b_text + "\n      got " + Show(a) + " vs " + Show(b));
    return false;
}
}  // namespace check_detail

// Ends the case without a verdict: what it checks cannot be seen with the
// module under test.
#define SKIP_CASE(reason)        \
    do {                         \
        SkipTestCase(reason);    \
        return;                  \
    } while (0)

// Records a failure and lets the case go on.
#define CHECK(condition) ((condition) ? true : (ReportFailure(__FILE__, __LINE__, #condition), false))
#define CHECK_EQ(a, b) check_detail::CheckEqual((a), (b), #a, #b, __FILE__, __LINE__)
// Records a failure and ends the case.
#define REQUIRE(condition)                                 \
    do {                                                   \
        if (!(condition)) {                                \
            ReportFailure(__FILE__, __LINE__, #condition); \
            return;                                        \
        }                                                  \
    } while (0)
#define REQUIRE_EQ(a, b)             \
    do {                             \
        if (!CHECK_EQ(a, b)) return; \
    } while (0)
