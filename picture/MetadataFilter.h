// SPDX-License-Identifier: MIT
// The metadata blocks of a picture file: found in JPEG segments, checked, and stripped of every
// trace of where the picture was taken.
#pragma once

#include <string>

// Takes one JPEG APP segment's payload (after its length bytes): an APP1 EXIF block (kept from its
// TIFF header on), an APP1 XMP packet, or the IPTC records of an APP13 Photoshop resource 0x0404.
// The first segment of each kind wins; other segments are left alone.
void takeJpegMetadataSegment(int marker, const std::string& payload, std::string& exif, std::string& xmp,
                             std::string& iptc);

// The payloads of the APP1 XMP and APP13 IPTC segments a JPEG writer emits for the blocks.
std::string jpegXmpPayload(const std::string& xmp);
std::string jpegIptcPayload(const std::string& iptc);

// EXIF from its TIFF header on: the GPS directory's pointer is taken out of IFD0 (the entries after
// it move up, the block keeps its length) and every byte of the GPS directory and of the values it
// points to is zeroed where it lies, so every other offset (maker notes included) stays right.
// False for a block that cannot be read this far; it is then unchanged.
bool stripExifLocation(std::string& exif);

// XMP: the exif:GPS* properties and the location fields (photoshop:City, State, Country,
// Iptc4xmpCore:Location and CountryCode, Iptc4xmpExt:LocationShown and LocationCreated), whatever
// prefixes the packet binds to their namespaces, as attributes or as elements. False for a packet
// whose markup cannot be followed; it is then unchanged.
bool stripXmpLocation(std::string& xmp);

// IPTC-NAA records: whether they are a sound sequence of tagged data sets.
bool iptcIsSound(const std::string& iptc);
// Leaves out the records of content location (2:26, 2:27), city (2:90), sub-location (2:92),
// province or state (2:95) and country code and name (2:100, 2:101). False for records that are
// not sound; they are then unchanged.
bool stripIptcLocation(std::string& iptc);
