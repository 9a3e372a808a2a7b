#include "assets/asset_collector.h"

namespace script {

// Placeholder until the look XML reader lands: the file itself is the only asset.
void zel_Katana_asset::getXmlAssets(const std::string& xmlFile)
{
    xmlAssets.push_back(xmlFile);
}

}  // namespace script
