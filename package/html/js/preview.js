// The low-resolution text preview ("lowres.json"): one character per sampled pixel, row by
// row, code = (grey >> 3) + 35. Decoded into an offscreen canvas of the preview's own size
// that pages scale onto their view.

export function decodePreview(reply) {
  const w = Number(reply.width) | 0;
  const h = Number(reply.height) | 0;
  const text = String(reply.data0 || '');
  if (w <= 0 || h <= 0 || text.length < w * h) return null;
  const canvas = document.createElement('canvas');
  canvas.width = w;
  canvas.height = h;
  const ctx = canvas.getContext('2d');
  const img = ctx.createImageData(w, h);
  for (let i = 0; i < w * h; i++) {
    // The middle of each 8-level band, so black stays near black and white near white.
    const level = Math.max(0, Math.min(31, text.charCodeAt(i) - 35));
    const grey = level * 8 + 4;
    const o = i * 4;
    img.data[o] = grey;
    img.data[o + 1] = grey;
    img.data[o + 2] = grey;
    img.data[o + 3] = 255;
  }
  ctx.putImageData(img, 0, 0);
  return canvas;
}

// Draws the preview stretched over the whole target canvas (smoothed: the preview is coarse).
export function drawPreview(ctx, preview) {
  const { width, height } = ctx.canvas;
  if (!preview) {
    ctx.fillStyle = '#111';
    ctx.fillRect(0, 0, width, height);
    ctx.fillStyle = '#889';
    ctx.font = '16px system-ui, sans-serif';
    ctx.textAlign = 'center';
    ctx.fillText('No preview', width / 2, height / 2);
    ctx.textAlign = 'start';
    return;
  }
  ctx.imageSmoothingEnabled = true;
  ctx.drawImage(preview, 0, 0, width, height);
}
