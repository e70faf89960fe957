// A numeric locale that writes a decimal comma ("0,5") and groups thousands with points, made
// the process's C and C++ numeric locale for the life of the object: code that follows the
// process's locale shows itself at once. The locale is built by the test with localedef
// from a source of its own, so nothing needs to be installed; the previous locale is
// restored at the end.
//
// Threads: construct and destroy on the test's thread while no other thread formats numbers.
#pragma once

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <locale>
#include <string>

#include <gtest/gtest.h>

namespace ZephTest {

class CommaLocale {
public:
    CommaLocale() {
        char pattern[] = "/tmp/zeph-locale-XXXXXX";
        if (!mkdtemp(pattern)) {
            ADD_FAILURE() << "mkdtemp failed";
            return;
        }
        m_dir = pattern;
        std::ofstream(m_dir + "/comma.src") << "LC_NUMERIC\n"
                                               "decimal_point \"<U002C>\"\n"
                                               "thousands_sep \"<U002E>\"\n"
                                               "grouping 3\n"
                                               "END LC_NUMERIC\n";
        // -c: the other categories are left undefined on purpose (localedef warns, exit 1).
        const std::string command =
            "localedef -c -i '" + m_dir + "/comma.src' '" + m_dir + "/comma' >/dev/null 2>&1";
        (void)std::system(command.c_str());
        setenv("LOCPATH", m_dir.c_str(), 1);
        if (!std::setlocale(LC_NUMERIC, "comma")) {
            ADD_FAILURE() << "the comma locale could not be built in " << m_dir;
            return;
        }
        // The C++ side gets the same punctuation from a facet of our own (a named C++ locale
        // would leak glibc's copy of LOCPATH).
        m_previous = std::locale::global(std::locale(std::locale::classic(), new CommaPunct));
        m_active = true;
    }

    ~CommaLocale() {
        if (m_active) {
            std::locale::global(m_previous);
            std::setlocale(LC_NUMERIC, "C");
        }
        unsetenv("LOCPATH");
        if (!m_dir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(m_dir, ignored);
        }
    }

    CommaLocale(const CommaLocale&) = delete;
    CommaLocale& operator=(const CommaLocale&) = delete;

    // TRUE once the process formats numbers with a comma.
    bool Active() const { return m_active; }

private:
    struct CommaPunct : std::numpunct<char> {
        char do_decimal_point() const override { return ','; }
        char do_thousands_sep() const override { return '.'; }
        std::string do_grouping() const override { return "\3"; }
    };

    std::string m_dir;
    std::locale m_previous;
    bool m_active = false;
};

}  // namespace ZephTest
