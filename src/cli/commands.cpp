// The commands pack, unpack, list, test, add, remove, rename, diff and convert: the verb table
// and one handler each, which says its outcome through outcomes.h.
#include "cli/commands.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/item_lines.h"
#include "cli/outcomes.h"
#include "fsbridge/described.h"
#include "fsbridge/diff.h"
#include "fsbridge/rename.h"
#include "fsbridge/selection.h"
#ifdef ZOREL_CONVERT
#include "convert/convert.h"
#endif
#include "fsbridge/streams.h"
#include "fsbridge/to_output.h"
#include "pack/records.h"
#include "platform/platform.h"
#include "report/listing.h"
#include "report/shown.h"

using platform::Failure;

namespace {

int List(const Arguments& args) {
    const std::string& path = args.operands[0];
    const std::vector<std::string> patterns(args.operands.begin() + 1, args.operands.end());
    NameSelection selection(patterns, &args.excludes);
    PackReader reader;
    Failure failure;
    if (!OpenPackInput(&reader, path.c_str(), &failure.reason)) return Failed(path, failure);
    std::optional<ContentsListing> listing;
    std::optional<ItemLines> lines;
    if (args.longForm || args.names || args.null) {
        lines.emplace(args.longForm ? ItemLines::Form::kLong
                      : args.null   ? ItemLines::Form::kNull
                                    : ItemLines::Form::kNames,
                      &selection);
    } else {
        listing.emplace(stdout, reader.header().flag != 0);
    }
    std::uint32_t shown = 0, described = 0;
    PackEntry head;
    DescribedEntries descriptions({}, [&lines](const descriptions::Item& item, platform::Reason*) {
        if (lines) lines->Alone(item);
        return true;
    });
    const descriptions::Item* item = nullptr;
    while (reader.NextHead(&head, &failure.reason) &&
           (DescribedEntries::MayDescribe(head) ? reader.ReadData(&head, &failure.reason)
                                                : reader.SkipData(head, &failure.reason))) {
        if (descriptions.Meet(head, &item, &failure.reason)) {
            ++described;  // a description is no file
            continue;
        }
        if (lines) {
            lines->Entry(head, item);
        } else if (selection.Take(head.name)) {
            ++shown;
            listing->Entry(head);
        }
    }
    if (reader.damaged()) {
        FlushOut();
        failure.entry = reader.damagedRecord();
        return Failed(path, failure);
    }
    if (listing) listing->Finish(patterns.empty() ? reader.header().count - described : shown);
    if (const std::string* unmet = selection.Unmet(); unmet != nullptr) {
        FlushOut();
        failure.item = path + ": " + *unmet;
        failure.reason = platform::kErrorNoSuchEntry;
        return Failed(path, failure);
    }
    return kExitSuccess;
}

// The files add takes, each named as tar names it; what a name loses is said.
std::vector<FolderFile> FilesToAdd(const std::vector<std::string>& paths,
                                   const std::vector<std::string>& excludes) {
    std::vector<FolderFile> files;
    for (const std::string& path : paths) {
        std::string removed;
        std::string name = StoredName(path, &removed);
        if (Excluded(excludes, name)) continue;
        if (!removed.empty()) SayStored(path, removed, name);
        files.push_back({std::move(name), 0, name == path ? std::string() : path, 0, {}});
    }
    return files;
}

// add -z (or --fast) on a pack that is not compressed asks for two forms at once.
bool Contradicts(const Arguments& args, const std::string& path) {
    if (!args.compress && !args.fast) return false;
    PackReader reader;
    platform::Reason why = 0;
    return reader.Open(path.c_str(), &why) && reader.header().flag == 0;
}

// The handlers, one a verb: each runs with its operands counted as its row asks.
int PackCommand(const Arguments& args) {
    const std::vector<std::string>& in = args.operands;
    return Streamed("packing", "packed", in[0], [&](StreamTotals* totals, Failure* f) {
        return StreamPackFolder(in[0].c_str(), in[1].c_str(), OptionsOf(args, totals), f);
    });
}

// unpack -O: nothing but the entries' bytes on standard output; a reader gone early is no fault.
int ToOutput(const Arguments& args) {
    const std::vector<std::string>& in = args.operands;
    const std::vector<std::string> patterns(in.begin() + 1, in.end());
    NameSelection selection(patterns, &args.excludes);
    Failure failure;
    if (StreamToOutput(in[0].c_str(), &selection, &failure)) return kExitSuccess;
    if (failure.item == kOutput && platform::IsBrokenPipe(failure.reason)) return kExitSuccess;
    return Failed(in[0], failure);
}

int UnpackCommand(const Arguments& args) {
    if (args.toOutput) return ToOutput(args);
    const std::vector<std::string>& in = args.operands;
    const char* folder = in.size() > 1 ? in[1].c_str() : ".";  // the current one, as tar's
    const std::vector<std::string> patterns(in.begin() + std::min<std::size_t>(in.size(), 2),
                                            in.end());
    NameSelection selection(patterns, &args.excludes);
    return Streamed("unpacking", "unpacked", in[0], [&](StreamTotals* t, Failure* f) {
        return StreamUnpack(in[0].c_str(), folder, &selection, OptionsOf(args, t), f);
    });
}

int TestCommand(const Arguments& args) {
    const std::vector<std::string>& in = args.operands;
    return Streamed("testing", "tested", in[0], [&](StreamTotals* t, Failure* f) {
        StreamOptions options = OptionsOf(args, t);
        options.stale = [&in](const char* description, std::size_t unmatched) {
            Say(in[0] + ": " + Shown(stderr, description) + ": " + std::to_string(unmatched) +
                (unmatched == 1 ? " described entry" : " described entries") + " not in the pack");
        };
        return StreamTest(in[0].c_str(), options, f);
    });
}

// A pack changed in place is read and replaced: a stream can be neither.
bool ChangesAStream(const Arguments& args) {
    return args.operands[0] == kStandardStream;
}

int AddCommand(const Arguments& args) {
    const std::vector<std::string>& in = args.operands;
    if (ChangesAStream(args)) return UsageError("add needs a pack file, not -");
    if (Contradicts(args, in[0])) {
        return UsageError(std::string(args.fast ? "--fast" : "-z") + " compresses, and " + in[0] +
                          " is a pack of plain entries");
    }
    std::vector<FolderFile> files = FilesToAdd({in.begin() + 1, in.end()}, args.excludes);
    return Streamed(nullptr, "added", in[0], [&](StreamTotals* t, Failure* f) {
        StreamOptions options = OptionsOf(args, t);
        options.describe = !args.plain;  // with -r or without
        return StreamAdd(in[0].c_str(), std::move(files), options, f);
    });
}

int RemoveCommand(const Arguments& args) {
    const std::vector<std::string>& in = args.operands;
    if (ChangesAStream(args)) return UsageError("remove needs a pack file, not -");
    const std::vector<std::string> rest(in.begin() + 1, in.end());
    return Streamed(nullptr, "removed", in[0], [&](StreamTotals* t, Failure* f) {
        return StreamRemove(in[0].c_str(), rest, OptionsOf(args, t), f);
    });
}

int RenameCommand(const Arguments& args) {
    const std::vector<std::string>& in = args.operands;
    if (ChangesAStream(args)) return UsageError("rename needs a pack file, not -");
    return Streamed(nullptr, "renamed", in[0], [&](StreamTotals*, Failure* f) {
        return StreamRename(in[0].c_str(), in[1], in[2], OptionsOf(args, nullptr), f);
    });
}

// diff: one line on standard output for each difference; 1 when there is any.
int DiffCommand(const Arguments& args) {
    const std::vector<std::string>& in = args.operands;
    const auto told = [](const std::string& name, Difference what) {
        static constexpr const char* kWords[] = {
            "not in the folder", "not in the pack", "size differs",        "bytes differ",
            "mode differs",      "time differs",    "link target differs", "kind differs"};
        Print(Shown(stdout, name) + ": " + kWords[static_cast<int>(what)] + "\n");
    };
    bool differs = false;
    Failure failure;
    if (!StreamDiff(in[0].c_str(), in[1].c_str(), told, &differs, &failure)) {
        FlushOut();
        return Failed(in[0], failure);
    }
    return differs ? kExitFailure : kExitSuccess;
}

int ConvertCommand(const Arguments& args) {
#ifdef ZOREL_CONVERT
    const std::string& in = args.operands[0];
    const std::string& out = args.operands[1];
    if (out == kStandardStream && args.format.empty()) {
        return UsageError("convert to standard output needs --format");
    }
    const ArchiveForm form = args.format.empty() ? FormOfPath(out) : FormNamed(args.format);
    if (form == ArchiveForm::kNone) {
        return UsageError(args.format.empty() ? "the form of " + out +
                                                    " is not known by its "
                                                    "name: give --format"
                                              : "no form is named " + args.format);
    }
    if ((args.compress || args.fast) && form != ArchiveForm::kPack) {
        return UsageError(std::string(args.fast ? "--fast" : "-z") + " compresses a pack only");
    }
    ConvertOptions options;
    ConvertFailure failure;
    options.renamed = SayStored;
    return Streamed("converting", "converted", in, [&](StreamTotals* totals, Failure* f) {
        options.stream = OptionsOf(args, totals);
        options.stream.describe = !args.plain;
        const bool ok = Convert(in, out, form, options, &failure);
        *f = failure.failure;
        // libarchive's own words stand for the reason: the entry is named as for a pack's.
        if (!ok && !failure.words.empty() && !f->told) {
            std::string said = f->item.empty() ? in : in + ": " + f->item;
            if (f->entry != 0)
                said = in + ": entry " + std::to_string(f->entry) +
                       (f->item.empty() ? "" : " (" + f->item + ")");
            Say(said + ": " + failure.words);
            f->told = true;
        }
        return ok;
    });
#else
    (void)args;
    Say("convert: this build has no libarchive, which convert needs");
    return kExitFailure;
#endif
}

constexpr std::size_t kMany = SIZE_MAX;

constexpr Verb kVerbs[] = {
    {"pack", "PACKFILE FOLDER", 2, 2, nullptr, "[-rzv] [--fast] [--plain] [--skip] [-j N]",
     "every regular file in FOLDER (and its\nsub-folders with -r) into PACKFILE",
     "Packs every regular file of FOLDER into PACKFILE, in one fixed order on every system.\n"
     "Without -r, sub-folders are left out, each named on standard error. Every file is\n"
     "checked first: those that cannot be packed are named together, and the command fails\n"
     "leaving any earlier PACKFILE, unless --skip leaves them out. PACKFILE - writes the\n"
     "pack to standard output.\n",
     "z fast r plain skip v j exclude wait", PackCommand},
    {"unpack", "PACKFILE [FOLDER [NAME...]]", 1, kMany, nullptr, "[-vOk] [-j N]",
     "every entry (or those named) into FOLDER\n(or the current folder), replacing files",
     "Writes every entry, or those whose names match a NAME (shell wildcards * ? [a-c]),\n"
     "as a file in FOLDER, made when missing, or in the current folder when none is given.\n"
     "A NAME that matches no entry fails the command. PACKFILE - reads the pack from\n"
     "standard input. With -O the entries' bytes go to standard output instead, in pack\n"
     "order, and every operand after PACKFILE is a NAME. An existing file is replaced,\n"
     "unless -k keeps it (or --keep-newer-files keeps one newer than its entry).\n",
     "v j O k keep-newer exclude strip", UnpackCommand},
    {"list", "PACKFILE [NAME...]", 1, kMany, nullptr, "[-1] [-0] [-l]",
     "the entries and their sizes (-1: paths\nalone, one a line; -0: each ended by NUL;\n"
     "-l: modes, sizes, times as tar -tv)",
     "Lists the entries (or those whose names match a NAME) with their sizes and ratios, as\n"
     "menu key 7 does; with -1 their full paths alone, one a line (a folder's ended by '/'),\n"
     "with -0 each ended by a NUL; with -l one line each as tar -tv prints it: mode, size,\n"
     "local date and time, path, and a link's target. An entry the pack keeps no mode or\n"
     "time of shows '?' for them.\n",
     "1 0 l exclude", List},
    {"test", "PACKFILE", 1, 1, nullptr, "[-j N]", "read and check every entry",
     "Reads every entry and decompresses each compressed one, checking its size; names the\n"
     "first bad entry.\n",
     "j exclude", TestCommand},
    {"add", "PACKFILE PATH...", 2, kMany, "PACKFILE and at least one name",
     "[-zruv] [--fast] [--skip] [-j N]", "add files (PACKFILE is made when missing)",
     "Adds the files to PACKFILE, made when missing (compressed with -z or --fast). An\n"
     "entry is named by its path as given, without a leading '/' or drive and '..' parts;\n"
     "with -r a PATH that is a folder is taken whole, each file named by its path below\n"
     "PATH as given (add -r p.pak docs stores docs/a.txt). A file whose name the pack holds\n"
     "replaces that entry in its place (of one name given twice, the last); with -u only\n"
     "when it changed (size, time or bytes). The others follow the last entry, behind a\n"
     "description of their paths, modes, times and CRC-32s (paths over 31 bytes under\n"
     "stand-ins) unless --plain is given. On an existing pack the pack's own form decides;\n"
     "-z on a plain one is refused.\n",
     "z fast r plain u skip v j exclude wait", AddCommand},
    {"remove", "PACKFILE NAME...", 2, kMany, "PACKFILE and at least one name", "[-v] [-j N]",
     "remove the entries of those names",
     "Removes the first entry of each name, and every entry a NAME with wildcards matches;\n"
     "where descriptions are, names are full paths (as list -1 shows them), folders and links\n"
     "among them, and a file whose hard link stays is kept under the path of its first link.\n"
     "A name that no entry has fails the command and leaves the pack as it was.\n",
     "v j wait", RemoveCommand},
    {"rename", "PACKFILE OLD NEW", 3, 3, nullptr, "", "give the entry OLD the name NEW",
     "Gives the first entry at the path OLD (as list -1 shows paths; where descriptions are, a\n"
     "folder or link too) the path NEW, every entry kept in its place and its bytes as they\n"
     "are; a described one takes a NEW of any length. An OLD that nothing is at, or a NEW the\n"
     "pack holds already, fails the command and leaves the pack as it was.\n",
     "j wait", RenameCommand},
    {"diff", "PACKFILE FOLDER", 2, 2, nullptr, "", "name what differs between the pack and FOLDER",
     "Compares each entry with the file of its name below FOLDER (its size, then its bytes)\n"
     "and names, one a line on standard output, each that differs or is missing, then each\n"
     "file of FOLDER's tree that no entry names. Where a description keeps them, an entry is\n"
     "compared under its full path, and by kind, mode, time and link target too. Exits 1\n"
     "when anything differs, 0 and says nothing when nothing does.\n",
     "", DiffCommand},
    {"convert", "IN OUT", 2, 2, nullptr, "[-zv] [--fast] [--plain] [--skip] [--format=NAME]",
     "a pack to another archive (tar, zip,\n7z, cpio, ...) or an archive to a pack",
     "Converts IN, a pack or an archive of another program (tar in its forms, zip, 7z, cpio,\n"
     "ISO 9660, ...: its bytes tell which), into OUT, whose form its name ends in (.pak,\n"
     ".tar, .tar.gz or .tgz, .tar.xz, .tar.zst, .tar.bz2, .zip, .7z, .cpio) or --format\n"
     "names. - is standard input or output (with --format). Names are cleaned as add\n"
     "cleans them; devices, FIFOs and sockets are left out. A pack made keeps full paths,\n"
     "modes, times, links, empty files and folders in descriptions, as pack -r does; with\n"
     "--plain it has none, and what it cannot hold (links, empty files, names over 31\n"
     "bytes) is named and fails the command, unless --skip leaves it out. OUT appears\n"
     "whole or not at all.\n",
     "z fast plain skip v j wait format", ConvertCommand},
};

}  // namespace

std::span<const Verb> Verbs() {
    return kVerbs;
}
