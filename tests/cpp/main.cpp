#include <cstring>

#include "check.hpp"

// Runs every registered case, or those whose name contains argv[1].
int main(int argc, char** argv) {
    int passed = 0;
    int failed = 0;
    int skipped = 0;
    for (const auto& c : check::registry()) {
        if (argc > 1 && std::strstr(c.name, argv[1]) == nullptr) continue;
        check::failures_in_case() = 0;
        try {
            c.body();
        } catch (const check::RequireFailed&) {
        } catch (const check::Skipped& skip) {
            if (check::failures_in_case() == 0) {
                ++skipped;
                std::cout << "SKIPPED: " << c.name << ": " << skip.reason << "\n";
                continue;
            }
        } catch (const std::exception& e) {
            check::report(c.name, 0, std::string("unexpected exception: ") + e.what());
        } catch (...) {
            check::report(c.name, 0, "unexpected exception");
        }
        if (check::failures_in_case() == 0) {
            ++passed;
        } else {
            ++failed;
            std::cerr << "FAILED: " << c.name << "\n";
        }
    }
    std::cout << passed << " passed, " << failed << " failed, " << skipped << " skipped\n";
    return failed == 0 ? 0 : 1;
}
