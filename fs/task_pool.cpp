#include "fs/fs.h"

#include "fs/handles.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <deque>
#include <exception>
#include <vector>

namespace {

// More threads than this gain nothing on a player's disk and cost a buffer each.
const size_t MAX_POOL_THREADS = 8;
const wchar_t POOL_THREADS_VARIABLE[] = L"VORLANCE_POOL_THREADS";

size_t ReadPoolThreadCount()
{
    wchar_t text[16] = {};
    const DWORD length = GetEnvironmentVariableW(POOL_THREADS_VARIABLE, text, 16);
    if (length > 0 && length < 16) {
        const unsigned long chosen = std::wcstoul(text, nullptr, 10);
        if (chosen >= 1) {
            return std::min<size_t>(chosen, MAX_POOL_THREADS);
        }
    }
    const DWORD cores = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    return std::max<size_t>(1, std::min<size_t>(cores, MAX_POOL_THREADS));
}

} // namespace

// Tasks are handed out oldest first; finished ones are collected for the submitting thread, which alone decides what
// their results mean and in which order it acts on them.
struct TaskPool {
    TaskFunction run;
    std::vector<KernelHandle> threads;

    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
    std::deque<size_t> queued;
    std::vector<size_t> finished;
    size_t running = 0;
    bool stopping = false;
    std::exception_ptr thrown; // the first exception a task let out, for the submitting thread
};

namespace {

struct WorkerStart {
    TaskPool* pool;
    size_t worker;
};

DWORD WINAPI RunPoolThread(void* parameter)
{
    const WorkerStart start = *static_cast<WorkerStart*>(parameter);
    delete static_cast<WorkerStart*>(parameter);
    TaskPool& pool = *start.pool;
    AcquireSRWLockExclusive(&pool.lock);
    for (;;) {
        while (pool.queued.empty() && !pool.stopping) {
            SleepConditionVariableSRW(&pool.changed, &pool.lock, INFINITE, 0);
        }
        if (pool.queued.empty()) {
            break;
        }
        const size_t task = pool.queued.front();
        pool.queued.pop_front();
        ++pool.running;
        ReleaseSRWLockExclusive(&pool.lock);
        std::exception_ptr thrown;
        try {
            pool.run(start.worker, task);
        } catch (...) {
            thrown = std::current_exception();
        }
        AcquireSRWLockExclusive(&pool.lock);
        if (thrown && !pool.thrown) {
            pool.thrown = thrown;
        }
        --pool.running;
        // Reserved when the task was submitted, so that this cannot throw.
        pool.finished.push_back(task);
        WakeAllConditionVariable(&pool.changed);
    }
    ReleaseSRWLockExclusive(&pool.lock);
    return 0;
}

} // namespace

size_t PoolThreadCount()
{
    static const size_t count = ReadPoolThreadCount();
    return count;
}

void TaskPoolStopper::operator()(TaskPool* pool) const
{
    AcquireSRWLockExclusive(&pool->lock);
    pool->queued.clear();
    pool->stopping = true;
    WakeAllConditionVariable(&pool->changed);
    ReleaseSRWLockExclusive(&pool->lock);
    for (const KernelHandle& thread : pool->threads) {
        WaitForSingleObject(thread.get(), INFINITE);
    }
    delete pool;
}

TaskPoolHolder StartTaskPool(size_t threadCount, TaskFunction run)
{
    TaskPoolHolder pool(new TaskPool);
    pool->run = std::move(run);
    pool->threads.reserve(threadCount);
    for (size_t worker = 0; worker < threadCount; ++worker) {
        WorkerStart* start = new WorkerStart{pool.get(), worker};
        const HANDLE thread = CreateThread(nullptr, 0, RunPoolThread, start, 0, nullptr);
        if (thread == nullptr) {
            delete start;
            break;
        }
        pool->threads.emplace_back(thread);
    }
    if (pool->threads.empty()) {
        pool.reset();
    }
    return pool;
}

size_t TaskPoolSize(const TaskPool& pool)
{
    return pool.threads.size();
}

void SubmitTask(TaskPool& pool, size_t task)
{
    AcquireSRWLockExclusive(&pool.lock);
    // Room for its completion is made now, where a failure can still be thrown to the submitter.
    try {
        pool.finished.reserve(pool.finished.size() + pool.queued.size() + pool.running + 1);
        pool.queued.push_back(task);
    } catch (...) {
        ReleaseSRWLockExclusive(&pool.lock);
        throw;
    }
    WakeConditionVariable(&pool.changed);
    ReleaseSRWLockExclusive(&pool.lock);
}

bool TakeFinishedTasks(TaskPool& pool, std::vector<size_t>& finished, bool wait)
{
    finished.clear();
    AcquireSRWLockExclusive(&pool.lock);
    while (wait && pool.finished.empty() && (!pool.queued.empty() || pool.running > 0)) {
        SleepConditionVariableSRW(&pool.changed, &pool.lock, INFINITE, 0);
    }
    // Copied rather than swapped: the pool's list keeps the room reserved for the tasks still to finish.
    std::exception_ptr thrown = pool.thrown;
    pool.thrown = nullptr;
    try {
        finished.assign(pool.finished.begin(), pool.finished.end());
    } catch (...) {
        ReleaseSRWLockExclusive(&pool.lock);
        throw;
    }
    pool.finished.clear();
    ReleaseSRWLockExclusive(&pool.lock);
    if (thrown) {
        std::rethrow_exception(thrown);
    }
    return !finished.empty();
}
