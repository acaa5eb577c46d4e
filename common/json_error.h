#pragma once

#include <exception>
#include <string>

// The log text of a failure to read a JSON document that may hold secrets (the provisioning
// package, authorization answers, the settings): the JSON reader's own text quotes the input
// around the fault ("last read: '"<key>..."), so a parse error gives only its kind and where.
//   "parse error at byte 17: syntax error while parsing object - unexpected end of input"
std::string JsonErrorText(const std::exception& e);
