// The daemon's global configuration instance.
#include <memory>
#include <mutex>

#include "vd-base.hpp"
#include "vd-config.hpp"

namespace {

std::mutex instance_mutex;
std::unique_ptr<vdGlobalConfig> instance;

}  // namespace

vdGlobalConfig &vdGlobalConfig::GetInstance()
{
    std::lock_guard<std::mutex> guard(instance_mutex);
    // The daemon's message names the function as its own compiler spelt it;
    // GCC's __PRETTY_FUNCTION__ binds the '&' to the type instead, so the
    // text is written out.
    if (!instance)
        throw vdException("%s: instance not found",
            "static vdGlobalConfig &vdGlobalConfig::GetInstance()");
    return *instance;
}

vdGlobalConfig &vdGlobalConfig::Create()
{
    std::lock_guard<std::mutex> guard(instance_mutex);
    instance = std::make_unique<vdGlobalConfig>();
    return *instance;
}

void vdGlobalConfig::Destroy()
{
    std::lock_guard<std::mutex> guard(instance_mutex);
    instance.reset();
}
