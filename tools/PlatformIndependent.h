// SPDX-License-Identifier: MIT
// Threads and the recursive lock, behind the few names the engine uses.
#pragma once

#include <pthread.h>

#include <string>

typedef pthread_mutex_t CRITICAL_SECTION;

struct ThreadHandle {
    pthread_t id;
};

typedef void* (*ThreadFunction)(void*);

// Starts a thread running fn(arg). Returns the new handle (also stored in *handleOut when given),
// or nullptr when the platform could not start the thread. Priority has no effect; the name is
// given to the thread where the platform supports it.
ThreadHandle* createThread(ThreadFunction fn, void* arg, int priority, const std::string& name,
                           ThreadHandle** handleOut = nullptr);
// Lets a thread run on without being joined and frees its handle.
void detachThread(ThreadHandle* handle);

void InitializeCriticalSection(CRITICAL_SECTION* lock);
void DeleteCriticalSection(CRITICAL_SECTION* lock);
void EnterCriticalSection(CRITICAL_SECTION* lock);
void LeaveCriticalSection(CRITICAL_SECTION* lock);
