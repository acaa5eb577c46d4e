#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "node.h"

// The process-wide table of nodes, in insertion order; it owns them. Look-ups give a
// reference to the entry (an empty one when nothing matches), valid until the worker loop,
// the only caller of DeleteNode and DeleteAllNode, deletes it.
void AddNode(std::unique_ptr<Node> node);
std::unique_ptr<Node>& FindNode(const std::string& deviceId);
// The first node whose device path is a leading part of `path`.
std::unique_ptr<Node>& FindNodeByPath(const std::string& path);
// Disconnects and destroys the node; gives its device path, or nothing when no node has
// that id.
std::optional<std::string> DeleteNode(const std::string& deviceId);
void DeleteAllNode();
// Destroys every node without a word to BlueZ (its devices are gone with it); gives their
// ids in table order.
std::vector<std::string> DropAllNode();
std::size_t NodeCount();
