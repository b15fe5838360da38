#pragma once
// Command-line options of the form --name value (or --flag), after a command.

#include <cstdint>
#include <map>
#include <set>
#include <string>

class Arguments {
public:
    // `flags` take no value; every other option takes one. False with a
    // message for an unknown option or a missing value.
    bool parse(int argc, char** argv, int first, const std::set<std::string>& valued,
               const std::set<std::string>& flags, std::string& error);
    bool has(const std::string& name) const { return values_.count(name) != 0; }
    std::string get(const std::string& name, const std::string& fallback = "") const;
    // A whole number within [minimum, maximum]; false with a message otherwise.
    bool getNumber(const std::string& name, int64_t fallback, int64_t minimum, int64_t maximum, int64_t& value,
                   std::string& error) const;

private:
    std::map<std::string, std::string> values_;
};
