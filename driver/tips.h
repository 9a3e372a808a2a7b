#pragma once

#include <string_view>

namespace script::tips {

// Diagnostic codes stored in tips.json (code -> list of texts).
inline constexpr std::string_view k_scene_missing = "70000";
inline constexpr std::string_view k_version_mismatch = "70001";
inline constexpr std::string_view k_bad_render_nodes = "70003";
inline constexpr std::string_view k_missing_files = "70004";
inline constexpr std::string_view k_no_outputs = "70006";

inline constexpr std::string_view k_no_outputs_message = "scene not found AOV!";

}  // namespace script::tips
