// SPDX-License-Identifier: Apache-2.0
// quillet-cli's options as its table lists them: every option of the table
// is taken by the parser in each of its forms (long, --name=value, short,
// short joined to its value) and changes what was parsed; a name the table
// does not have is refused.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "cli/Args.h"

namespace quillet {
namespace {

std::string Parse(const std::vector<std::string>& words, cli::Args& out) {
    return cli::ParseArgs(words, out, [](const char*) -> const char* { return nullptr; });
}

// A value the parser takes for each placeholder of the table; an option with
// a placeholder not listed here fails the walk until it gets one.
const std::map<std::string, std::string> kSampleValues = {
    {"DEVICE", "/dev/ttyUSB3"}, {"PORT", "COM7"},   {"LIST", "/dev/ttyUSB0,,/dev/ttyACM1"},
    {"DIR", "firmware"},        {"S", "2.5"},       {"FILE", "quillet.log"},
    {"KIND", "analyzer"},       {"N", "2"},
};

// The word lists that give `o` (with `value`) before the command "search".
std::vector<std::vector<std::string>> Forms(const cli::OptionName& o, const std::string& value) {
    const std::string longName = o.longName;
    std::vector<std::vector<std::string>> forms;
    if (!o.value) {
        forms.push_back({longName, "search"});
        if (o.shortName) forms.push_back({o.shortName, "search"});
        return forms;
    }
    forms.push_back({longName, value, "search"});
    forms.push_back({longName + "=" + value, "search"});
    if (o.shortName) {
        forms.push_back({o.shortName, value, "search"});
        forms.push_back({std::string(o.shortName) + value, "search"});
    }
    return forms;
}

TEST(ArgsTable, EveryOptionIsAppliedInEachOfItsForms) {
    cli::Args plain;
    ASSERT_EQ(Parse({"search"}, plain), "");
    const auto options = cli::OptionNames();
    ASSERT_FALSE(options.empty());
    for (const cli::OptionName& o : options) {
        SCOPED_TRACE(o.longName);
        std::string value;
        if (o.value) {
            ASSERT_TRUE(kSampleValues.count(o.value)) << "no sample value for " << o.value;
            value = kSampleValues.at(o.value);
        }
        std::vector<cli::Args> results;
        for (const auto& words : Forms(o, value)) {
            SCOPED_TRACE(words.front());
            cli::Args a;
            ASSERT_EQ(Parse(words, a), "");
            EXPECT_EQ(a.command, "search");
            EXPECT_TRUE(a.operands.empty());
            EXPECT_FALSE(a == plain) << "the option changed nothing";
            results.push_back(a);
        }
        for (const cli::Args& a : results) EXPECT_TRUE(a == results.front()) << "the forms differ";
    }
}

TEST(ArgsTable, FlagsRefuseAValueAndValuedOptionsNeedOne) {
    for (const cli::OptionName& o : cli::OptionNames()) {
        const std::string name = o.longName;
        cli::Args a;
        if (o.value) {
            EXPECT_EQ(Parse({"search", name}, a), "option " + name + " needs a value");
            if (o.shortName) {
                EXPECT_EQ(Parse({"search", o.shortName}, a), "option " + std::string(o.shortName) + " needs a value");
            }
        } else {
            EXPECT_EQ(Parse({name + "=1", "search"}, a), "option " + name + " takes no value");
        }
        // After "--" the option is an operand like any other word.
        EXPECT_EQ(Parse({"search", "--", name}, a), "");
        EXPECT_EQ(a.operands, std::vector<std::string>{name});
    }
}

TEST(ArgsTable, NamesTheTableDoesNotHaveAreRefused) {
    const auto options = cli::OptionNames();
    std::set<std::string> longNames;
    for (const cli::OptionName& o : options) longNames.insert(o.longName);
    std::string shortNames, shortFlags;
    for (const cli::OptionName& o : options) {
        const std::string name = o.longName;
        const std::string shorter = name.substr(0, name.size() - 1);
        cli::Args a;
        if (!longNames.count(name + "x")) {
            EXPECT_EQ(Parse({name + "x", "search"}, a), "unknown option " + name + "x");
        }
        if (!longNames.count(shorter)) {
            EXPECT_EQ(Parse({shorter + "=1", "search"}, a), "unknown option " + shorter);
        }
        if (o.shortName) (o.value ? shortNames : shortFlags) += o.shortName[1];
    }
    shortNames += shortFlags;
    ASSERT_FALSE(shortFlags.empty());
    for (char c = 'a'; c <= 'z'; ++c) {
        if (shortNames.find(c) != std::string::npos) continue;
        const std::string name{'-', c};
        const std::string cluster = std::string("-") + shortFlags.front() + c;
        cli::Args a;
        EXPECT_EQ(Parse({name, "search"}, a), "unknown option " + name);
        EXPECT_EQ(Parse({cluster, "search"}, a), "unknown option " + name + " (in " + cluster + ")");
    }
    cli::Args a;
    EXPECT_EQ(Parse({"--=1", "search"}, a), "unknown option --");
}

} // namespace
} // namespace quillet
