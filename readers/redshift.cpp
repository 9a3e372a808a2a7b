#include "assets/asset_collector.h"

namespace script {

// Placeholders until the Redshift reader lands: a proxy yields nothing of its own.
void zel_Katana_asset::getRsCmdline() {}

ReaderResult zel_Katana_asset::get_rs_file_from_cmd(const std::string&)
{
    return {};
}

std::string zel_Katana_asset::cmd_out_decode(const std::string& src_str) const
{
    return src_str;
}

}  // namespace script
