#pragma once

// The two trees the server serves, each a directory in the base directory,
// and the mapping between a path below a tree and what a client calls it.

#include <cstring>
#include <span>

constexpr char WEB_TREE[] = "wwwroot";
constexpr char FTP_TREE[] = "ftproot";

// The length of "<base_dir><tree>", the tree's own directory: where the
// part of a path below the tree begins.
int tree_root_length(const char* base_dir, const char* tree);

// Writes "<base_dir><tree>" into `root`, with no separator at its end.
// False when it does not fit; `root` is then empty, so it names nothing.
[[nodiscard]] bool form_tree_root(std::span<char> root, const char* base_dir, const char* tree);

// What lies below the root of a tree in `path`, whose first `root_length`
// characters are that root: what a client calls the path ("\sub\a.txt"),
// and "" for the root itself.
inline const char* below_tree(const char* path, int root_length) {
    return std::strlen(path) > static_cast<size_t>(root_length) ? path + root_length : "";
}
