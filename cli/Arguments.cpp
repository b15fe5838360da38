#include "cli/Arguments.h"

#include <cerrno>
#include <cstdlib>

bool Arguments::parse(int argc, char** argv, int first, const std::set<std::string>& valued,
                      const std::set<std::string>& flags, std::string& error) {
    for (int i = first; i < argc; ++i) {
        std::string option = argv[i];
        std::string value;
        size_t equals = option.find('=');
        bool inlineValue = option.rfind("--", 0) == 0 && equals != std::string::npos;
        if (inlineValue) {
            value = option.substr(equals + 1);
            option.resize(equals);
        }
        if (option.rfind("--", 0) != 0) {
            error = "unexpected argument '" + option + "'";
            return false;
        }
        const std::string name = option.substr(2);
        if (flags.count(name)) {
            values_[name] = "true";
            continue;
        }
        if (!valued.count(name)) {
            error = "unknown option '" + option + "'";
            return false;
        }
        if (!inlineValue) {
            if (i + 1 >= argc) {
                error = "option '" + option + "' needs a value";
                return false;
            }
            value = argv[++i];
        }
        values_[name] = value;
    }
    return true;
}

std::string Arguments::get(const std::string& name, const std::string& fallback) const {
    auto found = values_.find(name);
    return found == values_.end() ? fallback : found->second;
}

bool Arguments::getNumber(const std::string& name, int64_t fallback, int64_t minimum, int64_t maximum,
                          int64_t& value, std::string& error) const {
    auto found = values_.find(name);
    if (found == values_.end()) {
        value = fallback;
        return true;
    }
    const std::string& text = found->second;
    char* end = nullptr;
    errno = 0;
    long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE || parsed < minimum || parsed > maximum) {
        error = "--" + name + " must be a whole number from " + std::to_string(minimum) + " to " +
                std::to_string(maximum) + ", not '" + text + "'";
        return false;
    }
    value = parsed;
    return true;
}
