// The maker's services for one machine, as a program:
//   kxserve --machine DIR [--fault MODE] [--port N]
#pragma once

namespace kxserve {

// Runs the services until SIGTERM or SIGINT: 0 after a clean stop, 1 on failure,
// 2 on a usage error.
int ServeMain(int argc, char** argv);

}  // namespace kxserve
