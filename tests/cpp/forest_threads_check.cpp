// The worker pool under a thread checker: forests spreading their trees over
// several threads, from several calling threads at once, must give the states
// and scores of one thread. Prints "ok" and exits 0 on success.
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include "rcf/forest/forest.hpp"
#include "small_forest.hpp"

using namespace arbolet;
using namespace arbolet::rcf;

static Forest make() { return small_forest(3, 9, 16); }

// Scores of a drifting stream with runs of equal points, many evictions.
static std::vector<double> drive(Forest& f, Workspace& work) {
    std::mt19937_64 gen(5);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    std::vector<double> scores;
    std::vector<float> p(3);
    for (int i = 0; i < 1500; ++i) {
        if (i % 50 >= 10)
            for (float& v : p) v = noise(gen) + static_cast<float>(i / 500);
        scores.push_back(f.score_and_update(p, work).value());
        scores.push_back(f.density(p, work.threads).value());
    }
    return scores;
}

int main() {
    Forest serial = make();
    Workspace one(1);
    const std::vector<double> expected = drive(serial, one);
    int failures = 0;
    std::vector<std::thread> callers;
    std::vector<int> same(4, 0);
    for (int k = 0; k < 4; ++k)
        callers.emplace_back([&, k] {
            Forest f = make();
            Workspace several(2 + k);
            same[k] = drive(f, several) == expected && f == serial;
        });
    for (std::thread& t : callers) t.join();
    for (int k = 0; k < 4; ++k)
        if (!same[k]) {
            std::printf("FAILED: %d threads differ from one\n", 2 + k);
            ++failures;
        }
    if (failures == 0) std::printf("ok\n");
    return failures == 0 ? 0 : 1;
}
