// Every row of the option table is documented: an entry of its own in pam_zelvane.conf(5) that
// names its kind, a place in the option list of pam_zelvane(8), and a commented line in the
// sample configuration. An option added to the table without its documentation fails here.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "config/option_table.h"

namespace {

std::string read_doc(const char *name) {
  std::ifstream in(std::string(ZV_SOURCE_DIR) + "/doc/" + name);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The roff spelling of a key (a minus is written \-).
std::string roff(const std::string &key) { return std::regex_replace(key, std::regex("-"), "\\-"); }

// The entry of `key` in the option list of pam_zelvane.conf(5): its heading (".B key" or
// ".BI key= value" after ".TP") and the text that follows it, up to the next heading (headings
// grouped under ".PD 0" share the text after the last of them), or "" when there is none.
std::string entry(const std::string &page, const std::string &key) {
  const std::regex heading("\n\\.TP\n\\.BI? " + roff(key) + "(=[^\n]*)?\n");
  std::smatch m;
  if (!std::regex_search(page, m, heading)) return "";
  const size_t start = static_cast<size_t>(m.position(0));
  size_t end = start;
  for (;;) {
    const size_t next = std::min({page.find("\n.TP\n", end + 1), page.find("\n.SS ", end + 1),
                                  page.find("\n.SH ", end + 1)});
    const std::string body = page.substr(start, next - start);
    end = next;
    // Text before the next heading: a line that is not a request.
    if (next == std::string::npos || std::regex_search(body, std::regex("\n[^.\n]"))) break;
  }
  return page.substr(start, end - start);
}

const char *kind_word(zv::OptionKind kind) {
  switch (kind) {
  case zv::OptionKind::flag:
    return "Flag";
  case zv::OptionKind::text:
    return "Text";
  case zv::OptionKind::integer:
    return "Integer";
  case zv::OptionKind::character:
    return "Character";
  }
  return "?";
}

} // namespace

TEST(Docs, EveryOptionHasItsEntryInTheConfigurationPage) {
  const std::string page = read_doc("pam_zelvane.conf.5");
  ASSERT_FALSE(page.empty());
  for (const zv::Option &o : zv::options()) {
    const std::string text = entry(page, o.key);
    EXPECT_FALSE(text.empty()) << o.key << " has no entry in pam_zelvane.conf(5)";
    // The kind and, for a valued key, the default follow the heading.
    EXPECT_NE(text.find(kind_word(o.kind)), std::string::npos) << o.key << ":" << text;
    if (o.kind != zv::OptionKind::flag) {
      EXPECT_NE(text.find("default"), std::string::npos) << o.key << ":" << text;
    }
    // An integer's documented default is the table's.
    std::smatch m;
    if (o.kind == zv::OptionKind::integer) {
      ASSERT_TRUE(std::regex_search(text, m, std::regex("default (-?[0-9]+)"))) << o.key;
      EXPECT_EQ(std::stoi(m[1]), o.initial) << o.key;
    }
  }
}

TEST(Docs, EveryOptionIsListedInTheModulePage) {
  const std::string page = read_doc("pam_zelvane.8");
  const size_t start = page.find("\n.SH OPTIONS\n");
  ASSERT_NE(start, std::string::npos);
  const std::string list = page.substr(start, page.find("\n.SH ", start + 1) + 1 - start);
  for (const zv::Option &o : zv::options()) {
    const std::regex line("\n\\.BR? " + roff(o.key) + "( ,)?\n");
    EXPECT_TRUE(std::regex_search(list, line)) << o.key << " missing from pam_zelvane(8)";
  }
  EXPECT_NE(list.find("pam_zelvane.conf (5)"), std::string::npos);
}

TEST(Docs, EveryOptionHasACommentedLineInTheSample) {
  const std::string sample = read_doc("pam_zelvane.conf.sample");
  for (const zv::Option &o : zv::options()) {
    const std::string tail = o.kind == zv::OptionKind::flag ? "\n" : "=";
    EXPECT_NE(sample.find(std::string("\n#") + o.key + tail), std::string::npos)
        << o.key << " missing from the sample";
  }
}
