#include "assets/asset_collector.h"

namespace script {

// Placeholder until the OCIO reader lands: a configuration yields nothing of its own.
std::vector<std::string> zel_Katana_asset::get_ocio_files(const std::string&)
{
    return {};
}

}  // namespace script
