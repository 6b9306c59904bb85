// The folders of src/ are layers: a file includes only from its own folder and the folders
// below it, so that no two folders include each other, directly or round a circle.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

// From the bottom up.
const std::vector<std::string> kLayers = {"shell", "numeric", "io",  "models", "imageplane",
                                          "core",  "sim",     "fit", "app"};

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = opendir(dir.c_str());
  if (!d) return out;
  while (const dirent* e = readdir(d))
    if (e->d_name[0] != '.') out.push_back(e->d_name);
  closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

struct Include {
  std::string file;  // folder/name of the including file
  int line;
  std::string to;    // folder of the included file
};

// Every #include "folder/..." line of every source file under root, whatever its folder.
std::vector<Include> folder_includes(const std::string& root, std::set<std::string>& folders) {
  static const std::regex inc(R"(^\s*#\s*include\s*"([^"/]+)/[^"]+")");
  std::vector<Include> out;
  for (const std::string& folder : entries(root)) {
    const std::vector<std::string> files = entries(root + "/" + folder);
    if (files.empty()) continue;
    folders.insert(folder);
    for (const std::string& name : files) {
      std::ifstream in(root + "/" + folder + "/" + name);
      std::string text;
      for (int line = 1; std::getline(in, text); ++line) {
        std::smatch m;
        if (std::regex_search(text, m, inc)) out.push_back({folder + "/" + name, line, m[1]});
      }
    }
  }
  return out;
}

int rank(const std::string& folder) {
  const auto it = std::find(kLayers.begin(), kLayers.end(), folder);
  return it == kLayers.end() ? -1 : static_cast<int>(it - kLayers.begin());
}

// The folders on a circle of the folder graph, or nothing.
std::vector<std::string> find_cycle(const std::map<std::string, std::set<std::string>>& edges) {
  std::map<std::string, int> state;  // 1 on the current path, 2 done
  std::vector<std::string> path, cycle;
  std::function<bool(const std::string&)> visit = [&](const std::string& f) {
    state[f] = 1;
    path.push_back(f);
    const auto it = edges.find(f);
    if (it != edges.end())
      for (const std::string& g : it->second) {
        if (state[g] == 1) {
          cycle.assign(std::find(path.begin(), path.end(), g), path.end());
          cycle.push_back(g);
          return true;
        }
        if (state[g] == 0 && visit(g)) return true;
      }
    path.pop_back();
    state[f] = 2;
    return false;
  };
  for (const auto& e : edges)
    if (state[e.first] == 0 && visit(e.first)) break;
  return cycle;
}

// Every breach of the layering under root: a folder in no layer, an include from a layer
// above, folders that include each other.
std::vector<std::string> layering_faults(const std::string& root) {
  std::vector<std::string> faults;
  std::set<std::string> folders;
  const std::vector<Include> incs = folder_includes(root, folders);
  for (const std::string& f : folders)
    if (rank(f) < 0) faults.push_back("src/" + f + " is in no layer");
  std::map<std::string, std::set<std::string>> edges;
  for (const Include& i : incs) {
    const std::string from = i.file.substr(0, i.file.find('/'));
    if (!folders.count(i.to)) continue;  // not one of the source folders
    if (from != i.to) edges[from].insert(i.to);
    if (rank(i.to) > rank(from))
      faults.push_back("src/" + i.file + ":" + std::to_string(i.line) + " includes from " + i.to + ", a layer above " +
                       from);
  }
  const std::vector<std::string> cycle = find_cycle(edges);
  if (!cycle.empty()) {
    std::string text;
    for (const std::string& f : cycle) text += (text.empty() ? "" : " -> ") + f;
    faults.push_back("folders include each other: " + text);
  }
  return faults;
}

}  // namespace

TEST(Layering, EveryIncludeOfTheSourceTreePointsDown) {
  const std::string root = std::string(TW_SOURCE_DIR) + "/src";
  std::set<std::string> folders;
  ASSERT_GT(folder_includes(root, folders).size(), 100u);  // the tree was found and read
  for (const std::string& f : layering_faults(root)) ADD_FAILURE() << f;
}

// The check itself: a tree with one include going up, one circle and one stray folder.
TEST(Layering, ReportsAnIncludeUpACircleAndAFolderInNoLayer) {
  ScratchDir dir;
  for (const char* f : {"shell", "numeric", "io", "extra"}) ASSERT_EQ(mkdir(dir.file(f).c_str(), 0755), 0);
  dir.write("shell/a.h", "#pragma once\n#include <vector>\n");
  dir.write("numeric/b.cpp", "#include \"numeric/b.h\"\n#include \"shell/a.h\"\n#include \"io/c.h\"\n");
  dir.write("io/c.cpp", "  #  include \"numeric/b.h\"\n#include \"gtest/gtest.h\"\n");
  dir.write("extra/d.cpp", "// #include \"app/x.h\" in a comment\n");
  const std::vector<std::string> faults = layering_faults(dir.path());
  const std::vector<std::string> expected = {"src/extra is in no layer",
                                             "src/numeric/b.cpp:3 includes from io, a layer above numeric",
                                             "folders include each other: io -> numeric -> io"};
  EXPECT_EQ(faults, expected);
}

// The architecture note names every layer, in the order the check enforces.
TEST(Layering, TheArchitectureNoteListsTheLayersInOrder) {
  std::ifstream in(std::string(TW_SOURCE_DIR) + "/docs/ARCHITECTURE.md");
  ASSERT_TRUE(in) << "docs/ARCHITECTURE.md is missing";
  const std::string note((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t previous = 0;
  for (const std::string& layer : kLayers) {
    const size_t at = note.find("`src/" + layer + "/`");
    ASSERT_NE(at, std::string::npos) << layer;
    EXPECT_GT(at, previous) << layer << " is out of order";
    previous = at;
  }
}
