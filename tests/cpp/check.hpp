#pragma once
// A minimal test harness: TEST_CASE registers a function, CHECK records a
// failure and carries on, REQUIRE stops the case, SKIP ends it as skipped
// with its reason printed. main() ends with the "N passed, N failed,
// N skipped" line that test runners read.
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Case {
    const char* name;
    std::function<void()> body;
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

inline int& failures_in_case() {
    static int count = 0;
    return count;
}

struct Registrar {
    Registrar(const char* name, std::function<void()> body) { registry().push_back({name, std::move(body)}); }
};

struct RequireFailed {};

struct Skipped {
    std::string reason;
};

inline void report(const char* file, int line, const std::string& what) {
    ++failures_in_case();
    std::cerr << file << ":" << line << ": check failed: " << what << "\n";
}

}  // namespace check

#define CHECK_CONCAT2(a, b) a##b
#define CHECK_CONCAT(a, b) CHECK_CONCAT2(a, b)
#define TEST_CASE(name)                                                                                            \
    static void CHECK_CONCAT(check_case_, __LINE__)();                                                             \
    static const ::check::Registrar CHECK_CONCAT(check_registrar_, __LINE__){name,                                 \
                                                                             CHECK_CONCAT(check_case_, __LINE__)}; \
    static void CHECK_CONCAT(check_case_, __LINE__)()

#define CHECK(cond)                                              \
    do {                                                         \
        if (!(cond)) ::check::report(__FILE__, __LINE__, #cond); \
    } while (0)

#define CHECK_MSG(cond, msg)                                         \
    do {                                                             \
        if (!(cond)) {                                               \
            std::ostringstream check_stream;                         \
            check_stream << #cond << " -- " << msg;                  \
            ::check::report(__FILE__, __LINE__, check_stream.str()); \
        }                                                            \
    } while (0)

#define REQUIRE(cond)                                   \
    do {                                                \
        if (!(cond)) {                                  \
            ::check::report(__FILE__, __LINE__, #cond); \
            throw ::check::RequireFailed{};             \
        }                                               \
    } while (0)

#define SKIP(reason) \
    throw ::check::Skipped { reason }
