#include "web/web_assets.h"

namespace quorvellan::discover {

const embedded_file* web_asset_find(std::string_view path)
{
    if (path == "/") {
        path = "/index.html";
    }
    for (std::size_t i = 0; i < web_assets_count; ++i) {
        if (web_assets[i].path == path) {
            return &web_assets[i];
        }
    }
    return nullptr;
}

}  // namespace quorvellan::discover
