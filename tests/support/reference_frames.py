# Writes an animation's frames as PIL composes them, each over black, to standard output: a line
# "width height frames loop" (loop -1 when the file states none), then per frame a line with its
# duration in milliseconds followed by its RGB bytes. Run by the system's python3, whose PIL
# comes from Debian.
import sys

from PIL import Image, ImageSequence

image = Image.open(sys.argv[1])
frames = []
for frame in ImageSequence.Iterator(image):
    over_black = Image.new("RGBA", frame.size, (0, 0, 0, 255))
    over_black.alpha_composite(frame.convert("RGBA"))
    frames.append((int(frame.info.get("duration", 0)), over_black.convert("RGB").tobytes()))
out = sys.stdout.buffer
width, height = image.size
out.write(f"{width} {height} {len(frames)} {image.info.get('loop', -1)}\n".encode())
for duration, pixels in frames:
    out.write(f"{duration}\n".encode())
    out.write(pixels)
