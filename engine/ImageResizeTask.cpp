// One resize job from source file to output file.
#include "engine/ImageResizeTask.h"

ImageResizeTask::ImageResizeTask(Pixmill* owner) : engine(owner) {}

// TODO(engine): execute.
void ImageResizeTask::execute() {
    done = true;
    started = false;
}
