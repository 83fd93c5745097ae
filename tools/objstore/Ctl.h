// `objstore ctl [options] <command words...>`: sends one command to the
// command port of a running container and prints its response.
//
// The port is read from the configuration store (section "Rora", key
// "OBS_CMD_PORT"), the file named by OBJSTORE_REGISTRY or the per-user
// default, unless --port gives it. The words are joined with single spaces
// into one request (at most 256 bytes).
//
// Exit codes: 0 the container answered; 1 the answer is an error ("Error: ..."
// or "debug commands disabled"), or the port is unknown, refused the
// connection or closed it without answering; 2 usage error.
#pragma once

#include <string>
#include <vector>

namespace ObjectStore::ctl {

// Runs the subcommand with the arguments that follow "ctl".
int runCtl(const std::vector<std::string>& args);

// The response of a report ("key1,value1,key2,value2", an empty value allowed)
// as a JSON object of strings in the same order. False when the text is not
// such a list (an odd number of fields).
bool statsToJson(const std::string& response, std::string& json);

}  // namespace ObjectStore::ctl
