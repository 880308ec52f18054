// Job list and worker threads.
#include "engine/ImageResizeTask.h"
#include "engine/Pixmill.h"

// TODO(engine): addTask, taskThread, getNextTask, waitUntilIdle.
void Pixmill::addTask(ImageResizeTask* task) { tasks.push_back(task); }
void* Pixmill::taskThread(void*) { return nullptr; }
ImageResizeTask* Pixmill::getNextTask() { return nullptr; }
void Pixmill::waitUntilIdle() {}
