#include "fs/trees.hpp"

int tree_root_length(const char* base_dir, const char* tree) {
    return static_cast<int>(std::strlen(base_dir) + std::strlen(tree));
}

bool form_tree_root(std::span<char> root, const char* base_dir, const char* tree) {
    size_t base_length = std::strlen(base_dir);
    size_t tree_length = std::strlen(tree);
    if (root.empty()) {
        return false;
    }
    if (base_length + tree_length >= root.size()) {
        root[0] = '\0';
        return false;
    }
    std::memcpy(root.data(), base_dir, base_length);
    std::memcpy(root.data() + base_length, tree, tree_length + 1);
    return true;
}
