"""Enumerations of the C interface: colour modes, still formats, setting IDs."""

from __future__ import annotations

import enum

__all__ = ["ColorMode", "ImageFormat", "QueuePolicy", "Setting"]


class ColorMode(enum.IntEnum):
    """Output colour modes, as bits per pixel.

    Colour pixels are stored blue first (B, G, R), as OpenCV expects them. The
    32- and 64-bit modes carry an unused fourth sample (take ``img[..., :3]``);
    16-bit samples use the full 0..65535 scale.
    """

    MONO8 = 8
    MONO16 = 16
    BGR24 = 24
    BGRX32 = 32
    BGR48 = 48
    BGRX64 = 64

    @property
    def channels(self) -> int:
        """Samples per pixel: 1, 3 or 4."""
        return {8: 1, 16: 1, 24: 3, 32: 4, 48: 3, 64: 4}[int(self)]

    @property
    def sample_bytes(self) -> int:
        """Bytes per sample: 1 or 2."""
        return 2 if self in (ColorMode.MONO16, ColorMode.BGR48, ColorMode.BGRX64) else 1


class ImageFormat(enum.IntEnum):
    """Still-image formats of the SDK's own still writer."""

    BMP = 0
    RAW = 1  # pixel memory as held, rows padded to 4 bytes
    JPEG_Q100 = 2
    JPEG_Q70 = 3
    JPEG_Q20 = 4
    PNG = 5
    TIFF = 6


class QueuePolicy(enum.IntEnum):
    """What the frame queue keeps when the consumer falls behind."""

    FIFO = 0  # frames in order; a full queue drops its oldest
    LATEST = 1  # only the newest frame waits; older ones are dropped


class Setting(enum.IntEnum):
    """Identifiers of the setting-ID interface (``Camera.settings``)."""

    BRIGHTNESS = 1  # -255..255, 0 neutral
    CONTRAST = 2  # -127..127, 0 neutral
    HUE = 3  # -360..360 degrees
    SATURATION = 4  # -255..255
    SHARPNESS = 5  # 0..30, tenths
    BAYER_GAIN_RGB = 6  # red | green << 8 | blue << 16
    BAYER_GAIN_RED = 7  # 0..400 percent
    BAYER_GAIN_GREEN = 8  # 0..400 percent (stored only)
    BAYER_GAIN_BLUE = 9  # 0..400 percent
    BAYER_GAIN_AUTO = 10  # automatic white balance, bool
    GAMMA = 11  # 0..200, hundredths, 100 neutral
    BAYER_MODE = 12  # 0..3, colour phase at the origin
    GLOBAL_GAIN = 13  # sensor gain steps 0..480
    COLOR_GAIN_RED = 14  # sensor colour gains: only 0 on this camera
    COLOR_GAIN_GREEN1 = 15
    COLOR_GAIN_GREEN2 = 16
    COLOR_GAIN_BLUE = 17
    EXPOSURE_TIME = 18  # 0.1 ms units, 1..20000
    GRAY_MODE = 19  # 0 off, 1 channel gains, 2 from colour
    GRAY_GAIN_R = 20  # 0..255, 128 = unity
    GRAY_GAIN_G1 = 21
    GRAY_GAIN_G2 = 22
    GRAY_GAIN_B = 23
    GRAY_OFFSET_R = 24  # -255..255
    GRAY_OFFSET_G1 = 25
    GRAY_OFFSET_G2 = 26
    GRAY_OFFSET_B = 27
    GRAY_BALANCE_COUNT = 28  # set only
    PELTIER = 100  # not on this camera
    TEMPERATURE = 101  # get only; not on this camera
    DOT_FILTER = 102  # defect-pixel correction, bool
    MASK_FILTER = 103  # flat-field correction, bool
    CORE_OPTION_104 = 104  # camera-side features of other models of the family
    CORE_OPTION_105 = 105
    CORE_OPTION_106 = 106
