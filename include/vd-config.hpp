// The daemon's global configuration.
#pragma once

#include <map>
#include <string>

class vdGlobalConfig {
public:
    // The daemon's one instance; throws vdException("%s: instance not found")
    // when the daemon has not created it.
    static vdGlobalConfig &GetInstance();

    // Creates the instance (replacing an earlier one) and returns it.
    static vdGlobalConfig &Create();
    // Destroys the instance; GetInstance throws afterwards.
    static void Destroy();

    std::string path_state_config = "/etc/vessixd";
    std::string path_state_shared = "/usr/share/vessixd";
    std::string path_state_volatile = "/var/run/vessixd";
    std::string path_state_persistent = "/var/lib/vessixd";

    // Variables for vd_expand_variables.
    std::map<std::string, std::string> conf_vars;
};
