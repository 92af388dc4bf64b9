// The embedded page: every file of src/discover/web/page/ is there byte for byte
// with its content type, the page names only files that are there, and the
// whole stays within its budget.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <string>

#include "web/web_assets.h"

namespace {

namespace fs = std::filesystem;
using quorvellan::discover::embedded_file;
using quorvellan::discover::web_asset_find;
using quorvellan::discover::web_assets;
using quorvellan::discover::web_assets_count;

constexpr std::size_t PAGE_BUDGET = 32 * 1024;  // phones on slow links

std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(WebAssets, EveryFileEmbeddedWithItsTypeWithinBudget)
{
    const std::map<std::string, std::string> types = {
        {".html", "text/html; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
    };
    std::size_t files = 0;
    std::size_t total = 0;
    for (const auto& entry : fs::directory_iterator(WEB_DIR)) {
        const std::string name = entry.path().filename().string();
        SCOPED_TRACE(name);
        const embedded_file* file = web_asset_find("/" + name);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(file->body, read_file(entry.path()));
        const auto type = types.find(entry.path().extension().string());
        ASSERT_NE(type, types.end()) << "a kind of file this test does not expect";
        EXPECT_EQ(file->content_type, type->second);
        ++files;
        total += file->body.size();
    }
    EXPECT_EQ(files, web_assets_count);
    EXPECT_LE(total, PAGE_BUDGET);
}

TEST(WebAssets, PathsAndTags)
{
    ASSERT_NE(web_asset_find("/"), nullptr);
    EXPECT_EQ(web_asset_find("/"), web_asset_find("/index.html"));
    for (const char* path : {"", "index.html", "/nothing.js", "/app.js?v=1", "//app.js"}) {
        EXPECT_EQ(web_asset_find(path), nullptr) << path;
    }
    std::set<std::string_view> tags;
    for (std::size_t i = 0; i < web_assets_count; ++i) {
        const std::string_view tag = web_assets[i].etag;
        EXPECT_TRUE(tag.size() > 2 && tag.front() == '"' && tag.back() == '"') << tag;
        tags.insert(tag);
    }
    EXPECT_EQ(tags.size(), web_assets_count);
    // What the page loads is what is embedded.
    const std::string page(web_asset_find("/")->body);
    const std::regex reference(R"re((?:href|src)="([^"]+)")re");
    std::size_t references = 0;
    for (auto it = std::sregex_iterator(page.begin(), page.end(), reference);
         it != std::sregex_iterator(); ++it, ++references) {
        EXPECT_NE(web_asset_find("/" + (*it)[1].str()), nullptr) << (*it)[1];
    }
    EXPECT_EQ(references, 2u);
}

}  // namespace
