// The board runner's report for a person: the hierarchy as a tree, then what
// the driver changed, rendered from the run's JSON document.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace pciplat {

std::string RenderReport(const nlohmann::json &Report);

} // namespace pciplat
