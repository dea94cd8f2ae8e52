# Runs the veltcam executable on the built-in simulator (always asked for: the
# tool never picks it by itself) and checks what it
# does. One GROUP of commands per ctest test:
#   cli        no camera, list, info, settings, --help, bad arguments (exit 2), SDK
#              failures (exit 1)
#   snap       every still format, read back
#   capture    record, stream (free run and trigger), bench
#   calibrate  calibrate dark|white, mask load|save, preview
cmake_minimum_required(VERSION 3.20)

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

# A private settings store per group, so the tool never reads or changes the
# user's settings and groups running side by side never share one.
string(RANDOM LENGTH 8 ALPHABET 0123456789abcdef tag)
if(WINDOWS)
    set(settings_key "Software\\VeltCamTests\\tool-${GROUP}-${tag}")
    set(ENV{VELTCAM_SETTINGS_ROOT} "${settings_key}")
else()
    set(ENV{VELTCAM_SETTINGS} "${WORK}/settings.reg")
endif()
unset(ENV{VELTCAM_SIMULATOR})
# Each group's simulator keeps its own shared device table.
set(sim "--simulate=table=vctool-${GROUP}-${tag}")

# A path as the tool sees it: Wine maps drive Z: to /.
function(native_path out path)
    if(WINDOWS)
        set(${out} "Z:${path}" PARENT_SCOPE)
    else()
        set(${out} "${path}" PARENT_SCOPE)
    endif()
endfunction()

# run(EXPECTED_EXIT args...): runs the tool; OUT and ERR hold its output.
function(run expected)
    execute_process(COMMAND ${EMULATOR} "${VELTCAM}" ${ARGN}
        WORKING_DIRECTORY "${WORK}"
        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 180)
    if(NOT "${rc}" STREQUAL "${expected}")
        message(FATAL_ERROR "veltcam ${ARGN}: exit ${rc}, expected ${expected}\n"
                            "stdout:\n${out}\nstderr:\n${err}")
    endif()
    string(REPLACE "\r" "" out "${out}")
    string(REPLACE "\r" "" err "${err}")
    set(OUT "${out}" PARENT_SCOPE)
    set(ERR "${err}" PARENT_SCOPE)
    set(LAST "${ARGN}" PARENT_SCOPE)
endfunction()

function(expect text regex)
    if(NOT "${text}" MATCHES "${regex}")
        message(FATAL_ERROR "veltcam ${LAST}: output does not match '${regex}':\n${text}")
    endif()
endfunction()

# A usage error is exactly one line on standard error, naming the problem.
function(expect_usage_error regex)
    run(2 ${ARGN})
    string(REPLACE ";" "," err "${ERR}")
    string(REGEX MATCHALL "[^\n]+" lines "${err}")
    list(LENGTH lines count)
    if(NOT count EQUAL 1 OR NOT "${ERR}" MATCHES "^veltcam: .*${regex}")
        message(FATAL_ERROR "veltcam ${ARGN}: want one line matching '${regex}', got:\n${ERR}")
    endif()
endfunction()

# Little-endian / big-endian integers from a hex dump (two digits a byte).
function(hex_le out hex offset size)
    set(value 0)
    math(EXPR last "${offset} + ${size} - 1")
    foreach(i RANGE ${last} ${offset} -1)
        math(EXPR pos "${i} * 2")
        string(SUBSTRING "${hex}" ${pos} 2 byte)
        math(EXPR value "${value} * 256 + 0x${byte}")
    endforeach()
    set(${out} ${value} PARENT_SCOPE)
endfunction()
function(hex_be out hex offset size)
    set(value 0)
    math(EXPR last "${offset} + ${size} - 1")
    foreach(i RANGE ${offset} ${last})
        math(EXPR pos "${i} * 2")
        string(SUBSTRING "${hex}" ${pos} 2 byte)
        math(EXPR value "${value} * 256 + 0x${byte}")
    endforeach()
    set(${out} ${value} PARENT_SCOPE)
endfunction()

function(read_head out file bytes)
    if(NOT EXISTS "${file}")
        message(FATAL_ERROR "${file} was not written")
    endif()
    file(READ "${file}" hex LIMIT ${bytes} HEX)
    set(${out} "${hex}" PARENT_SCOPE)
endfunction()

# check_image(file format width height): the file's own header says what it is,
# and (where ImageMagick is installed) a decoder reads the whole picture.
function(check_image file format width height)
    read_head(hex "${file}" 64)
    if(format STREQUAL "png")
        expect("${hex}" "^89504e470d0a1a0a0000000d49484452")
        hex_be(w "${hex}" 16 4)
        hex_be(h "${hex}" 20 4)
    elseif(format STREQUAL "bmp")
        expect("${hex}" "^424d")
        hex_le(w "${hex}" 18 4)
        hex_le(h "${hex}" 22 4)
        if(h GREATER 2147483647)  # top-down rows: negative height
            math(EXPR h "4294967296 - ${h}")
        endif()
    elseif(format STREQUAL "jpeg")
        expect("${hex}" "^ffd8ff")
    elseif(format STREQUAL "tiff")
        expect("${hex}" "^(49492a00|4d4d002a)")
    endif()
    if(DEFINED w AND (NOT w EQUAL width OR NOT h EQUAL height))
        message(FATAL_ERROR "${file}: ${w} x ${h}, expected ${width} x ${height}")
    endif()
    # An independent reader decodes the whole picture.
    find_program(IDENTIFY identify)
    if(IDENTIFY)
        execute_process(COMMAND ${IDENTIFY} -regard-warnings -format "%m %w %h" "${file}"
            RESULT_VARIABLE rc OUTPUT_VARIABLE seen ERROR_VARIABLE why)
        string(TOUPPER "${format}" magick)
        if(NOT rc EQUAL 0 OR NOT "${seen}" MATCHES "^${magick}[0-9]? ${width} ${height}$")
            message(FATAL_ERROR "${file}: identify says '${seen}' (${why}), "
                                "expected '${magick} ${width} ${height}'")
        endif()
    endif()
endfunction()

if(GROUP STREQUAL "cli")
    # No camera on the bus and no simulator asked for: list and info say so and
    # succeed; every command that needs a picture source fails with the hint,
    # and none of them leaves a file behind.
    set(hint "no camera attached; .*--simulate \\(or VELTCAM_SIMULATOR=1\\)")
    run(0 list)
    expect("${OUT}" "^0 cameras\n${hint}")
    run(0 info)
    expect("${OUT}" "${hint}")
    native_path(nothing "${WORK}/nothing")
    set(no_camera_commands
        "snap -o ${nothing}.png"
        "record -o ${nothing}.avi --duration 1s"
        "stream --seconds 1"
        "calibrate dark -o ${nothing}.msk"
        "mask save ${nothing}.msk"
        "bench --seconds 1"
        "preview --seconds 1"
        "settings --set gamma=130")
    foreach(command IN LISTS no_camera_commands)
        separate_arguments(command UNIX_COMMAND "${command}")
        run(1 ${command})
        expect("${ERR}" "^veltcam: ${hint}\n$")
    endforeach()
    file(GLOB written "${WORK}/nothing*")
    if(written)
        message(FATAL_ERROR "commands without a camera wrote ${written}")
    endif()

    set(ENV{VELTCAM_SIMULATOR} "cameras=2;table=vctool-cli2-${tag}")
    run(0 list)
    unset(ENV{VELTCAM_SIMULATOR})
    expect("${ERR}" "using the built-in camera simulator \\(VELTCAM_SIMULATOR=cameras=2")
    expect("${OUT}" "2 cameras\n")
    expect("${OUT}" "device 1  VeltCamM40-USB3-R7_02")
    # The simulated cameras report SuperSpeed: no USB 2 warning.
    expect("${OUT}" "device 1  VeltCamM40-USB3-R7_02  serial [^\n]*  USB 3 \\(SuperSpeed\\)\n")
    if(OUT MATCHES "warning")
        message(FATAL_ERROR "a SuperSpeed camera was warned about:\n${OUT}")
    endif()

    run(0 ${sim} info)
    expect("${OUT}" "sensor +2048 x 1536")
    expect("${OUT}" "gain +[0-9]+ \\(range 0..480\\)")
    expect("${OUT}" "FPGA version +320")

    # Settings reach the SDK's store and come back in the next run.
    run(0 ${sim} settings --set gamma=130 --set brightness=-20)
    run(0 ${sim} settings)
    expect("${OUT}" "gamma +130\n")
    expect("${OUT}" "brightness +-20\n")

    if(NOT WINDOWS)
        # A settings file that cannot be written: one warning naming it, and the
        # command still does its work.
        file(WRITE "${WORK}/a-file" "")
        set(ENV{VELTCAM_SETTINGS} "${WORK}/a-file/veltcam/settings.reg")
        run(0 ${sim} settings --set gamma=140)
        set(ENV{VELTCAM_SETTINGS} "${WORK}/settings.reg")
        expect("${OUT}" "gamma +140\n")
        string(REGEX MATCHALL "warning" warnings "${ERR}")
        list(LENGTH warnings count)
        if(NOT count EQUAL 1)
            message(FATAL_ERROR "want one warning about the settings file, got:\n${ERR}")
        endif()
        expect("${ERR}" "warning: settings cannot be saved to .*a-file/veltcam/settings.reg: .*a-file is not a folder; .*VELTCAM_SETTINGS")
    endif()

    run(0 --help)
    expect("${OUT}" "snap")
    expect("${OUT}" "calibrate")
    run(0 snap --help)
    expect("${OUT}" "--window")
    run(0 record --help)
    expect("${OUT}" "uncompressed")

    expect_usage_error("subcommand")
    expect_usage_error("required" snap)
    expect_usage_error("cannot tell the image format" ${sim} snap -o picture.xyz)
    expect_usage_error("--bits" ${sim} snap -o a.png --bits 12)
    expect_usage_error("--format" ${sim} snap -o a.png --format gif)
    expect_usage_error("bad window" ${sim} snap -o a.png --window 1,2,3)
    expect_usage_error("--mirror" ${sim} snap -o a.png --mirror x)
    # An unknown setting names the nearest one (shortened, mistyped, none) and
    # lists them all.
    expect_usage_error("unknown setting 'exposure'; did you mean 'exposure-time'\\? Settings: brightness, contrast, .*, mask-filter\n"
        ${sim} settings --set exposure=100)
    expect_usage_error("'gain'; did you mean 'global-gain'" ${sim} snap -o a.png --set gain=1)
    expect_usage_error("'gama'; did you mean 'gamma'" ${sim} settings --set gama=1)
    expect_usage_error("unknown setting 'nosuch'\\. Settings: brightness" ${sim} settings --set nosuch=1)
    expect_usage_error("must be an integer" ${sim} settings --set gamma=high)
    expect_usage_error("bad duration" ${sim} record -o a.avi --duration 5parsecs)
    expect_usage_error("reference" ${sim} calibrate grey -o m.msk)

    # SDK failures: exit 1 and the code's name.
    run(1 ${sim} settings --set gamma=999)
    expect("${ERR}" "veltcam: --set gamma=999 failed: ERR_PARAMETER\n")
    run(1 ${sim} snap -o big.png --window 0,0,4096,1536)
    expect("${ERR}" "--window 0,0,4096,1536 failed: ERR_IMAGE_SIZE\n")
    run(1 ${sim} --device 5 info)
    expect("${ERR}" "selecting device 5 failed: ERR_NO_DEVICE\n")
elseif(GROUP STREQUAL "snap")
    # A fresh store and the simulator's defaults: the picture is exposed as the
    # camera's own settings expose it, in this run and the next, which loads
    # what this one stored. The window lies inside the white bar.
    foreach(pass first second)
        native_path(target "${WORK}/defaults-${pass}.raw")
        run(0 --simulate snap -o "${target}" --bits 8 --window 0,0,256,64)
        file(READ "${WORK}/defaults-${pass}.raw" hex OFFSET 8192 LIMIT 32 HEX)
        string(REGEX MATCHALL ".." samples "${hex}")
        foreach(sample IN LISTS samples)
            math(EXPR level "0x${sample}")
            if(level LESS 100)
                message(FATAL_ERROR "defaults-${pass}.raw: white bar at level ${level}: ${hex}")
            endif()
        endforeach()
    endforeach()

    # format|file|width|height|options
    set(cases
        "png|full.png|2048|1536|--bits 24"
        "png|half.png|1024|768|--bits 8 --half"
        "png|window.png|640|480|--bits 48 --window 64,32,640,480 --mirror hv"
        "bmp|picture.bmp|2048|1536|--bits 24 --set gamma=150 --exposure 100 --gain 80"
        "jpeg|picture.img|2048|1536|--bits 24 --format jpeg20"
        "jpeg|picture.jpg|2048|1536|--bits 8"
        "tiff|picture.tif|2048|1536|--bits 16"
        "tiff|picture.tiff|1024|768|--bits 48 --half")
    foreach(case IN LISTS cases)
        string(REPLACE "|" ";" fields "${case}")
        list(GET fields 0 format)
        list(GET fields 1 name)
        list(GET fields 2 width)
        list(GET fields 3 height)
        list(GET fields 4 options)
        separate_arguments(options UNIX_COMMAND "${options}")
        native_path(target "${WORK}/${name}")
        run(0 ${sim} snap -o "${target}" ${options})
        expect("${OUT}" "saved .*${name} \\(")
        check_image("${WORK}/${name}" ${format} ${width} ${height})
    endforeach()

    # raw: the pixel memory as held, rows padded to 4 bytes.
    native_path(target "${WORK}/frame.raw")
    run(0 ${sim} snap -o "${target}" --bits 24 --window 0,0,640,100)
    file(SIZE "${WORK}/frame.raw" size)
    if(NOT size EQUAL 192000)  # 640 * 3 * 100
        message(FATAL_ERROR "frame.raw: ${size} bytes, expected 192000")
    endif()
elseif(GROUP STREQUAL "capture")
    native_path(movie "${WORK}/movie.avi")
    run(0 ${sim} record -o "${movie}" --duration 1s --half)
    # Before it starts: the frame size, the measured rate and what the file
    # will take (1024 x 768 x 3 + 8 bytes a frame).
    expect("${OUT}" "^recording uncompressed 24-bit frames of 2.4 MB each at [1-9][0-9.]* frames/s: [0-9.]+ [MG]B/s, about [0-9.]+ [MG]B for 1.0 s\n")
    # Not a terminal: plain progress lines, then what the file's header says.
    expect("${OUT}" "[0-9.]+ s +[0-9]+ frames +[0-9.]+ frames/s\n")
    expect("${OUT}" "recorded .*movie.avi: [1-9][0-9]* frames, 1024 x 768")
    read_head(hex "${WORK}/movie.avi" 88)
    expect("${hex}" "^52494646........415649204c495354")  # RIFF....AVI LIST
    hex_le(frames "${hex}" 48 4)
    hex_le(width "${hex}" 64 4)
    if(frames LESS 1 OR NOT width EQUAL 1024)
        message(FATAL_ERROR "movie.avi: ${frames} frames, width ${width}")
    endif()
    # An independent reader decodes every frame the header promises.
    find_program(FFPROBE ffprobe)
    if(FFPROBE)
        execute_process(COMMAND ${FFPROBE} -v error -count_frames -select_streams v:0
            -show_entries stream=width,height,nb_read_frames -of csv=p=0 "${WORK}/movie.avi"
            RESULT_VARIABLE rc OUTPUT_VARIABLE seen ERROR_VARIABLE why)
        string(STRIP "${seen}" seen)
        if(NOT rc EQUAL 0 OR NOT "${seen}" STREQUAL "1024,768,${frames}")
            message(FATAL_ERROR "movie.avi: ffprobe says '${seen}' (${why}), "
                                "expected '1024,768,${frames}'")
        endif()
    endif()

    run(0 ${sim} stream --seconds 2 --bits 24)
    expect("${OUT}" "stream: [1-9][0-9]* frames of 2048 x 1536, 24 bits in [0-9.]+ s: [0-9.]+ frames/s; errors: none")

    # Trigger mode: frames only on the simulator's periodic trigger (10 a second).
    run(0 ${sim} stream --seconds 2 --trigger 10)
    string(REGEX MATCH "stream: ([0-9]+) frames" match "${OUT}")
    set(frames "${CMAKE_MATCH_1}")
    if(frames LESS 5 OR frames GREATER 25)
        message(FATAL_ERROR "trigger at 10 Hz for 2 s gave ${frames} frames:\n${OUT}")
    endif()

    run(0 ${sim} bench --seconds 1)
    foreach(bits 8 16 24 32 48 64)
        expect("${OUT}" "\n +${bits} +[0-9]+ +[0-9.]+ +none")
    endforeach()
elseif(GROUP STREQUAL "calibrate")
    native_path(mask "${WORK}/flat.msk")
    run(0 ${sim} calibrate dark -o "${mask}" --exposure 1)
    expect("${OUT}" "dark reference saved")
    run(0 ${sim} calibrate white -o "${mask}")
    run(0 ${sim} mask load "${mask}")
    expect("${OUT}" "is a valid mask file")
    native_path(copy "${WORK}/copy.msk")
    run(0 ${sim} mask save "${copy}")
    run(0 ${sim} mask load "${copy}")

    file(WRITE "${WORK}/not-a-mask.msk" "hello")
    native_path(bad "${WORK}/not-a-mask.msk")
    run(1 ${sim} mask load "${bad}")
    expect("${ERR}" "loading .*not-a-mask.msk failed: ERR_MASK_FILE\n")

    if(WINDOWS)
        # The SDK's own window on the virtual display, closed at the end.
        run(0 ${sim} preview --seconds 1)
        expect("${OUT}" "previewing for 1.0 s")
    else()
        # The tool's own X11 window on a virtual display of its own; without a
        # display it says so.
        find_program(xvfb_run xvfb-run)
        if(xvfb_run)
            set(EMULATOR ${xvfb_run} -a)
            run(0 ${sim} preview --seconds 1)
            expect("${OUT}" "previewing for 1.0 s")
            unset(EMULATOR)
        endif()
        unset(ENV{DISPLAY})
        run(1 ${sim} preview --seconds 0.5)
        expect("${ERR}" "no X display")
    endif()
else()
    message(FATAL_ERROR "unknown GROUP '${GROUP}'")
endif()

if(WINDOWS)
    execute_process(COMMAND ${EMULATOR} reg delete "HKCU\\${settings_key}" /f
        OUTPUT_QUIET ERROR_QUIET)
endif()
