#pragma once
// The shared config and credentials files of the AWS tools: AWS_CONFIG_FILE
// (default ~/.aws/config) with sections "[default]" and "[profile NAME]",
// and AWS_SHARED_CREDENTIALS_FILE (default ~/.aws/credentials) with
// sections "[NAME]". A profile's settings are the two merged, the
// credentials file winning. Names are case-insensitive; values are kept as
// written, without the whitespace around them.

#include <map>
#include <string>

class SharedConfig {
public:
    using Settings = std::map<std::string, std::string>;

    // Reads both files; a missing file is empty. False with the file and line
    // when one cannot be read or parsed.
    bool load(std::string& error);
    // The same from texts (tests and fuzzing); `configName` and
    // `credentialsName` name them in errors.
    bool loadTexts(const std::string& config, const std::string& credentials, std::string& error,
                   const std::string& configName = "config", const std::string& credentialsName = "credentials");

    // False when neither file has a section for the profile.
    bool profile(const std::string& name, Settings& settings) const;
    // One setting of a profile, or "".
    std::string get(const std::string& profile, const std::string& name) const;
    // A setting nested under a service in a "[services NAME]" section of
    // the config file, or "":
    //   [services local]
    //   dynamodb =
    //     endpoint_url = http://localhost:8000
    std::string serviceSetting(const std::string& section, const std::string& service, const std::string& name) const;
    // "FILE and FILE", for messages.
    const std::string& where() const { return where_; }

    static std::string configPath();
    static std::string credentialsPath();

private:
    std::map<std::string, Settings> config_;      // by profile name
    std::map<std::string, Settings> credentials_; // by profile name
    std::map<std::string, Settings> services_;    // by section name; "service.setting" = value
    std::string where_;
};
