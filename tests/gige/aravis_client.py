"""Checks through Aravis' Python binding: the image against the simulated
scene (grey bars brightest first, a ramp rising to the right), mirroring and
exposure visible in the pixels, and one frame per software trigger."""
import sys

import gi

gi.require_version("Aravis", "0.8")
from gi.repository import Aravis  # noqa: E402


def grab(camera):
    buffer = camera.acquisition(5000000)
    assert buffer is not None, "no buffer"
    assert buffer.get_status() == Aravis.BufferStatus.SUCCESS, buffer.get_status()
    return buffer.get_image_width(), buffer.get_image_height(), buffer.get_data()


def block_mean(data, width, x, y):
    total = 0
    for row in range(y - 4, y + 4):
        start = row * width + x - 4
        total += sum(data[start:start + 8])
    return total / 64.0


def ramp(data, width, scale=1):
    return [block_mean(data, width, x // scale, 1300 // scale) for x in range(64, 2048, 256)]


def bars_and_ramp(data, width, scale=1):
    """The bars brightest first (left to right), the ramp rising to the right."""
    bars = [block_mean(data, width, (bar * 256 + 128) // scale, 384 // scale) for bar in range(8)]
    assert bars[0] > 100, bars
    assert all(b <= a + 2 for a, b in zip(bars, bars[1:])), bars
    plain = ramp(data, width, scale)
    assert all(b > a for a, b in zip(plain, plain[1:])), plain
    return plain


def scene(camera):
    camera.set_region(0, 0, 2048, 1536)
    camera.set_pixel_format_from_string("Mono8")
    camera.set_boolean("ReverseX", False)
    camera.set_exposure_time(17000)
    width, height, data = grab(camera)
    assert (width, height, len(data)) == (2048, 1536, 2048 * 1536), (width, height, len(data))
    plain = bars_and_ramp(data, width)

    # Half readout: the whole scene in a quarter of the pixels.
    camera.set_integer("DecimationHorizontal", 2)
    assert camera.get_integer("DecimationVertical") == 2
    assert camera.get_region() == (0, 0, 1024, 768), camera.get_region()
    half_width, half_height, data = grab(camera)
    assert (half_width, half_height, len(data)) == (1024, 768, 1024 * 768), (half_width, half_height)
    bars_and_ramp(data, half_width, 2)
    camera.set_integer("DecimationVertical", 1)
    assert camera.get_region() == (0, 0, 2048, 1536), camera.get_region()

    camera.set_boolean("ReverseX", True)
    _, _, data = grab(camera)
    mirrored = ramp(data, width)
    assert all(b < a for a, b in zip(mirrored, mirrored[1:])), mirrored
    camera.set_boolean("ReverseX", False)

    camera.set_exposure_time(5000)
    _, _, data = grab(camera)
    dark = sum(ramp(data, width))
    assert dark < 0.6 * sum(plain), (dark, sum(plain))

    camera.set_region(64, 32, 512, 256)
    width, height, data = grab(camera)
    assert (width, height, len(data)) == (512, 256, 512 * 256), (width, height, len(data))
    print("scene ok")


def trigger(camera, count):
    camera.set_region(0, 0, 640, 480)
    camera.set_pixel_format_from_string("Mono8")
    camera.set_acquisition_mode(Aravis.AcquisitionMode.CONTINUOUS)
    camera.set_trigger("Software")
    stream = camera.create_stream(None, None)
    payload = camera.get_payload()
    for _ in range(8):
        stream.push_buffer(Aravis.Buffer.new_allocate(payload))
    camera.start_acquisition()
    received = 0
    for _ in range(count):
        camera.software_trigger()
        buffer = stream.timeout_pop_buffer(3000000)
        assert buffer is not None, "no frame for a trigger"
        assert buffer.get_status() == Aravis.BufferStatus.SUCCESS
        received += 1
        stream.push_buffer(buffer)
    extra = stream.timeout_pop_buffer(700000)
    camera.stop_acquisition()
    assert extra is None, "a frame without a trigger"
    print("trigger ok: %d frames for %d triggers" % (received, count))


def main():
    camera = Aravis.Camera.new(sys.argv[1])
    if sys.argv[2] == "scene":
        scene(camera)
    else:
        trigger(camera, int(sys.argv[3]))


if __name__ == "__main__":
    main()
