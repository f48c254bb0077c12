#include "dia/check.h"

#include <gtest/gtest.h>

#include <string>

using vm::dia::evaluateCheck;

TEST(FieldCheck, EvaluatesTheExpressionsFieldsUse)
{
    struct Case {
        const char* expression;
        std::string value;
        std::optional<bool> expected;
    };
    const Case cases[] = {
        {"strlen(_tag) < 51", std::string(50, 'x'), true},
        {"strlen(_tag) < 51", std::string(51, 'x'), false},
        {"strlen(_tag) == 8", "ABCDEFGH", true},
        {"strlen(_tag) == 8", "ABCDEFG", false},
        {"strlen(_tag) > 0 && strlen(_tag) <= 3", "ab", true},
        {"strlen(_tag) > 0 && strlen(_tag) <= 3", "", false},
        {"atoi(_tag) >= 100 || _tag == \"none\"", "none", true},
        {"atoi(_tag) >= 100 || _tag == \"none\"", " 99", false},
        {"!(strlen(_tag) != 2)", "ab", true},
        {"", "x", std::nullopt},
        {"strlen(_tag < 51", "x", std::nullopt},
        {"strlen(_tag) < \"51\"", "x", std::nullopt},
        {"strlen(_tag) < 51 junk", "x", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(evaluateCheck(c.expression, c.value), c.expected) << c.expression << " with \"" << c.value << "\"";
}
