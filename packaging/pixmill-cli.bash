# SPDX-License-Identifier: MIT
# bash completion for pixmill-cli

_pixmill_cli() {
    local cur prev words cword
    _init_completion -s || return

    # The stored switches take false (or true) only after "=".
    if $split; then
        case $prev in
            --linear | --no-enlarge | --keep-dates | --progressive | --fast)
                COMPREPLY=($(compgen -W 'false true' -- "$cur"))
                return
                ;;
        esac
    fi

    case $prev in
        -t | --type)
            COMPREPLY=($(compgen -W 'jpg png bmp webp avif jxl tif same' -- "$cur"))
            return
            ;;
        --rotate)
            COMPREPLY=($(compgen -W 'none exif landscape landscapeccw portrait' -- "$cur"))
            return
            ;;
        -c | --crop)
            COMPREPLY=($(compgen -W 'nocrop crop stretch' -- "$cur"))
            return
            ;;
        --overwrite)
            COMPREPLY=($(compgen -W 'no yes' -- "$cur"))
            return
            ;;
        -d | --destination)
            COMPREPLY=($(compgen -W 'samefolder subfolder fixedfolder' -- "$cur"))
            return
            ;;
        --resize-quality)
            COMPREPLY=($(compgen -W 'basic high best nearest' -- "$cur"))
            return
            ;;
        --copy-exif)
            COMPREPLY=($(compgen -W 'false true' -- "$cur"))
            return
            ;;
        --metadata)
            COMPREPLY=($(compgen -W 'all no-location none' -- "$cur"))
            return
            ;;
        --colour)
            COMPREPLY=($(compgen -W 'keep srgb' -- "$cur"))
            return
            ;;
        --sharpen)
            COMPREPLY=($(compgen -W 'none light medium strong' -- "$cur"))
            return
            ;;
        --max-bytes)
            COMPREPLY=($(compgen -W '200K 500K 1M 2M' -- "$cur"))
            return
            ;;
        -s | --resolution)
            COMPREPLY=($(compgen -W '640x480 800x600 1024x768 1280x1024 1600x1200 1920x1080 50% 25%' -- "$cur"))
            return
            ;;
        -o | --output | --fixed-folder | --watch)
            _filedir -d
            return
            ;;
        --files-from | --report)
            _filedir
            return
            ;;
        --preset | --delete-preset)
            # The names of presets.xml, each a word of its own (names hold blanks).
            local presets=${XDG_CONFIG_HOME:-$HOME/.config}/pixmill/presets.xml line
            local -a names=()
            if [[ -r $presets ]]; then
                while IFS= read -r line; do
                    [[ $line =~ \<PRESET\ name=\"([^\"]*)\" ]] || continue
                    line=${BASH_REMATCH[1]//&quot;/\"}
                    line=${line//&lt;/<}
                    line=${line//&gt;/>}
                    names+=("${line//&amp;/&}")
                done <"$presets"
            else
                names=("Web 1600" "Email 1024" "Thumbnails 320" "Same size, no location")
            fi
            local name
            COMPREPLY=()
            for name in "${names[@]}"; do
                [[ $name == "$cur"* ]] && COMPREPLY+=("$(printf '%q' "$name")")
            done
            return
            ;;
        --shard)
            COMPREPLY=($(compgen -W '1/2 2/2 1/4 2/4 3/4 4/4' -- "$cur"))
            return
            ;;
        --sub-folder | -n | --name | -q | --jpeg-quality | --webp-quality | --avif-quality | --jxl-quality | -j | --jobs | \
            --memory-limit | --save-preset)
            return
            ;;
    esac

    $split && return

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '--resolution --type --rotate --crop --overwrite --destination
            --sub-folder --fixed-folder --output --name --jpeg-quality --webp-quality --avif-quality
            --jxl-quality --resize-quality --copy-exif
            --fast --jobs --memory-limit --recursive --files-from --null --shard --keep-structure --report
            --dry-run --quiet --skip-existing --watch --save-settings --show-settings --help --version
            --metadata --colour --sharpen --linear --no-enlarge --keep-dates --progressive --max-bytes
            --preset --save-preset --list-presets --delete-preset
            -s -t -c -d -o -n -q -j -r -0 -h -V' -- "$cur"))
        return
    fi

    # Folders (for -r) and the image types read, in any letter case (compared in lower case: a
    # shell option changed here would stay changed in the user's shell).
    local IFS=$'\n' item
    local -a candidates
    candidates=($(compgen -f -- "$cur"))
    COMPREPLY=()
    for item in "${candidates[@]}"; do
        if [[ -d $item || ${item,,} =~ \.(jpe?g|png|gif|bmp)$ ]]; then
            COMPREPLY+=("$item")
        fi
    done
    compopt -o filenames
} &&
    complete -F _pixmill_cli pixmill-cli
