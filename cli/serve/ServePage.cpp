#include "cli/serve/ServePage.h"

#include "ServePageFiles.h"

namespace gwu::cli {

namespace {

void ReplaceAll(std::string& text, const std::string& what, const std::string& with) {
    for (size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + with.size())) {
        text.replace(at, what.size(), with);
    }
}

}  // namespace

std::string ServePage(const std::string& token, const std::string& nonce) {
    std::string page = kPageHtml;
    ReplaceAll(page, "@TOKEN@", token);
    ReplaceAll(page, "@NONCE@", nonce);
    // The style and the script go in last, the script (which follows the style) first, so that
    // nothing in them is taken for a placeholder. The build made sure that the page has both.
    const size_t style = page.find("@STYLE@");
    page.replace(page.find("@SCRIPT@", style), 8, kPageJs);
    page.replace(style, 7, kPageCss);
    return page;
}

}  // namespace gwu::cli
