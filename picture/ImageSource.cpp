// Opening an image file for decoding, by the last four characters of its name.
#include "picture/ImageSource.h"

#include "tools/modTools.h"

bool ImageSource::putTurned(CPicture& turned, int code) {
    TurningRows rows(turned, code, width, height);
    return putRows(rows);
}

PictureSource::PictureSource(std::unique_ptr<CPicture> picture) : held(std::move(picture)) {
    width = held->width;
    height = held->height;
    mode = held->transparencyMode;
    failure = held->loadFailure;
    warning = held->loadWarning;
}

bool PictureSource::putRows(RowSink& sink) {
    putPictureRows(*held, sink);
    return true;
}

std::unique_ptr<ImageSource> ImageSource::open(const std::string& path) {
    const std::string suffix = path.size() < 4 ? std::string() : strtolower(path.substr(path.size() - 4));
    if (suffix == ".jpg" || suffix == "jpeg") return openJpegSource(path);
    if (suffix == ".png") return openPngSource(path);
    std::unique_ptr<CPicture> picture(new CPicture());
    picture->load(path);
    return std::unique_ptr<ImageSource>(new PictureSource(std::move(picture)));
}
