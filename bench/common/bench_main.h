// The body of a benchmark driver's main: APR and a quiet host log around a run of every
// registered benchmark through `reporter`.
//
// Threads: the main thread only, once.
#pragma once

#include <apr_general.h>
#include <apr_pools.h>
#include <benchmark/benchmark.h>
#include <ostrin/apt_log.h>

namespace ZephBench {

inline int RunBenchmarks(int argc, char** argv, benchmark::BenchmarkReporter& reporter) {
    apr_initialize();
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, nullptr);
    apt_log_instance_create(APT_LOG_OUTPUT_CONSOLE, APT_PRIO_WARNING, pool);  // quiet
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    apt_log_instance_destroy();
    apr_terminate();
    return 0;
}

}  // namespace ZephBench
