#include "assets/asset_collector.h"

namespace script {

// Placeholders until the listings land.
void zel_Katana_asset::get_Alembic_In(const std::string&) {}
void zel_Katana_asset::get_PrmanShadingNode(const std::string&) {}

}  // namespace script
