#include "assets/asset_collector.h"

namespace script {

// Placeholder until the Yeti reader lands: a fur cache yields nothing of its own.
ReaderResult zel_Katana_asset::getYetiSequen(const std::string&)
{
    return {};
}

}  // namespace script
