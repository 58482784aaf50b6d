/* Simulated processes: each has its own handle table. */
#pragma once

namespace plat {

class ProcessTable {
public:
    ProcessTable();
    ~ProcessTable();
};

}  // namespace plat
