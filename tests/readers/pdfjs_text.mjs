// Prints the text pdf.js extracts from a PDF, one line per text item's line, pages separated by
// form feeds. usage: node pdfjs_text.mjs PDFJS_DIR FILE.pdf
import { readFileSync } from "node:fs";
import { pathToFileURL } from "node:url";

const [pdfjsDir, file] = process.argv.slice(2);
const pdfjs = await import(pathToFileURL(`${pdfjsDir}/legacy/build/pdf.mjs`).href);
pdfjs.GlobalWorkerOptions.workerSrc = pathToFileURL(`${pdfjsDir}/legacy/build/pdf.worker.mjs`).href;
const doc = await pdfjs.getDocument({
    data: new Uint8Array(readFileSync(file)),
    verbosity: pdfjs.VerbosityLevel.WARNINGS,
    useSystemFonts: false,
}).promise;
for (let n = 1; n <= doc.numPages; ++n) {
    const page = await doc.getPage(n);
    const content = await page.getTextContent();
    let line = "";
    for (const item of content.items) {
        line += item.str;
        if (item.hasEOL) {
            process.stdout.write(line + "\n");
            line = "";
        }
    }
    if (line) process.stdout.write(line + "\n");
    process.stdout.write("\f");
}
