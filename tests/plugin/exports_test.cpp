// The plug-in's dynamic symbol table and the exported exception classes.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "exceptions/qk_exceptions.h"

namespace {

std::set<std::string> defined_dynamic_symbols(const std::string &library)
{
    std::set<std::string> symbols;
    const std::string command = "nm -D --defined-only --demangle '" + library + "'";
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return symbols;
    char line[4096];
    while (std::fgets(line, sizeof line, pipe)) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        // "<address> <type> <name>"
        const size_t first = text.find(' ');
        const size_t second = first == std::string::npos ? first : text.find(' ', first + 1);
        if (second != std::string::npos) symbols.insert(text.substr(second + 1));
    }
    pclose(pipe);
    return symbols;
}

TEST(Exports, OnlyTheEntryPointAndTheExceptionMembers)
{
    const std::set<std::string> expected = {
        "configure_zem_svc",
        "CQkBaseException::CQkBaseException()",
        "CQkBaseException::CQkBaseException(CQkBaseException const&)",
        "CQkBaseException::~CQkBaseException()",
        "CQkBaseException::operator=(CQkBaseException const&)",
        "CQkBaseException::operator*()",
        "vtable for CQkBaseException",
        "CQkSystemException::~CQkSystemException()",
        "CQkSystemException::operator=(CQkSystemException const&)",
        "CQkOsToCppExp::operator=(CQkOsToCppExp const&)",
    };
    EXPECT_EQ(defined_dynamic_symbols(ZEM_PLUGIN_LIBRARY), expected);
}

class NamedException : public CQkBaseException {
public:
    char *GetText() override { return text; }
    char text[8] = "named";
};

TEST(Exceptions, StarOperatorCallsTheTextOfTheObjectsOwnClass)
{
    NamedException named;
    CQkBaseException &base = named;
    EXPECT_STREQ(*base, "named");
    CQkSystemException system(1, 2);
    EXPECT_EQ(*static_cast<CQkBaseException &>(system), system.GetText());
}

TEST(Exceptions, AssignmentCopiesTheWordsAndKeepsTheClass)
{
    CQkSystemException source(0x11, 0x22);
    CQkSystemException target(0, 0);
    CQkBaseException &as_base = target;
    target = source;
    EXPECT_EQ(target.m_value1, 0x11u);
    EXPECT_EQ(target.m_value2, 0x22u);
    EXPECT_NE(dynamic_cast<CQkSystemException *>(&as_base), nullptr);

    CQkOsToCppExp os_source(7), os_target;
    os_target = os_source;
    EXPECT_EQ(os_target.m_value, 7u);
}

} // namespace
