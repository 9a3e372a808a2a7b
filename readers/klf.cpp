#include "assets/asset_collector.h"

namespace script {

// Placeholder until the klf reader lands.
void zel_Katana_asset::getKlfAssets(const std::string&, const std::string&) {}

}  // namespace script
