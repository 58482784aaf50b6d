/* Thread indexes for per-thread shards (see hostlock.h). */
#include "base/hostlock.h"

#include <mutex>
#include <vector>

namespace plat {
namespace {

// Never destroyed: threads may end after the program's statics are gone.
struct Indexes {
    std::mutex lock;
    std::vector<bool> used;
};

Indexes& Table()
{
    static auto* table = new Indexes();
    return *table;
}

class Index {
public:
    Index()
    {
        Indexes& table = Table();
        std::lock_guard<std::mutex> guard(table.lock);
        while (value_ < table.used.size() && table.used[value_]) {
            ++value_;
        }
        if (value_ == table.used.size()) {
            table.used.push_back(true);
        } else {
            table.used[value_] = true;
        }
    }
    ~Index()
    {
        Indexes& table = Table();
        std::lock_guard<std::mutex> guard(table.lock);
        table.used[value_] = false;
    }
    Index(const Index&) = delete;
    Index& operator=(const Index&) = delete;

    unsigned Value() const { return value_; }

private:
    unsigned value_ = 0;
};

}  // namespace

unsigned ThreadIndex()
{
    thread_local const Index index;
    return index.Value();
}

}  // namespace plat
