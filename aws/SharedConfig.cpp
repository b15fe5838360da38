#include "aws/SharedConfig.h"

#include <ini.h>

#include <cctype>
#include <cstdlib>

#include "platform/FileUtil.h"

namespace {

std::string trimmed(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return text.substr(begin, end - begin);
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string home() {
    const char* value = std::getenv("HOME");
    return value ? value : "";
}

std::string pathFrom(const char* variable, const char* file) {
    const char* value = std::getenv(variable);
    if (value && *value) {
        std::string path = value;
        if (path.compare(0, 2, "~/") == 0) path = home() + path.substr(1);
        return path;
    }
    return home() + "/.aws/" + file;
}

struct Parse {
    bool config; // section names are "profile NAME" (or "default")
    std::map<std::string, SharedConfig::Settings>* sections;
    std::map<std::string, SharedConfig::Settings>* services;
};

// A line of a "[services NAME]" section: "SERVICE =" opens a service, and
// each indented "SETTING = VALUE" under it comes (as the parser reads a
// value that goes on over more lines) as SERVICE with that text.
void onServiceEntry(SharedConfig::Settings& section, const char* name, const char* value) {
    const std::string nested = trimmed(value ? value : "");
    const size_t equals = nested.find('=');
    if (!name || equals == std::string::npos) return;
    section[lower(trimmed(name)) + "." + lower(trimmed(nested.substr(0, equals)))] = trimmed(nested.substr(equals + 1));
}

int onEntry(void* user, const char* section, const char* name, const char* value) {
    auto* parse = static_cast<Parse*>(user);
    std::string title = trimmed(section);
    if (parse->config) {
        if (title == "default") {
            // "[default]" is the default profile in both files.
        } else if (title.compare(0, 8, "profile ") == 0 || title.compare(0, 8, "profile\t") == 0) {
            title = trimmed(title.substr(8));
        } else if (title.compare(0, 9, "services ") == 0 || title.compare(0, 9, "services\t") == 0) {
            onServiceEntry((*parse->services)[trimmed(title.substr(9))], name, value);
            return 1;
        } else {
            return 1; // sso-session and other sections are not profiles
        }
    }
    if (title.empty()) return 1;
    SharedConfig::Settings& settings = (*parse->sections)[title];
    if (name) settings[lower(trimmed(name))] = trimmed(value ? value : "");
    return 1;
}

bool parseText(const std::string& text, bool config, std::map<std::string, SharedConfig::Settings>& sections,
               std::map<std::string, SharedConfig::Settings>& services, const std::string& fileName,
               std::string& error) {
    if (text.find('\0') != std::string::npos) {
        error = fileName + ": holds a NUL byte; it is not a text file";
        return false;
    }
    Parse parse{config, &sections, &services};
    const int result = ini_parse_string(text.c_str(), onEntry, &parse);
    if (result == 0) return true;
    error = result > 0 ? fileName + ": line " + std::to_string(result) +
                             " is neither a [section], a name = value pair nor a comment"
                       : fileName + ": cannot be parsed";
    return false;
}

} // namespace

std::string SharedConfig::configPath() { return pathFrom("AWS_CONFIG_FILE", "config"); }

std::string SharedConfig::credentialsPath() { return pathFrom("AWS_SHARED_CREDENTIALS_FILE", "credentials"); }

bool SharedConfig::load(std::string& error) {
    const std::string configFile = configPath(), credentialsFile = credentialsPath();
    std::string config, credentials;
    for (auto* entry : {&configFile, &credentialsFile}) {
        std::string& text = entry == &configFile ? config : credentials;
        if (file_util::exists(*entry) && !file_util::readFile(*entry, text)) {
            error = *entry + ": cannot be read: " + file_util::lastErrorText();
            return false;
        }
    }
    return loadTexts(config, credentials, error, configFile, credentialsFile);
}

bool SharedConfig::loadTexts(const std::string& config, const std::string& credentials, std::string& error,
                             const std::string& configName, const std::string& credentialsName) {
    config_.clear();
    credentials_.clear();
    services_.clear();
    where_ = configName + " and " + credentialsName;
    // The credentials file has no services sections: what it would give is dropped.
    std::map<std::string, Settings> unused;
    return parseText(config, true, config_, services_, configName, error) &&
           parseText(credentials, false, credentials_, unused, credentialsName, error);
}

bool SharedConfig::profile(const std::string& name, Settings& settings) const {
    settings.clear();
    bool found = false;
    for (const auto* file : {&config_, &credentials_}) {
        auto section = file->find(name);
        if (section == file->end()) continue;
        found = true;
        for (const auto& entry : section->second) settings[entry.first] = entry.second;
    }
    return found;
}

std::string SharedConfig::serviceSetting(const std::string& section, const std::string& service,
                                         const std::string& name) const {
    auto found = services_.find(section);
    if (found == services_.end()) return "";
    auto setting = found->second.find(lower(service) + "." + lower(name));
    return setting == found->second.end() ? "" : setting->second;
}

std::string SharedConfig::get(const std::string& profile, const std::string& name) const {
    Settings settings;
    this->profile(profile, settings);
    auto found = settings.find(name);
    return found == settings.end() ? "" : found->second;
}
