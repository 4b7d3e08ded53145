"""The entries of the index catalogue, each written from its paper.

Formulas read band roles (see `indices.ROLES`) and use `/` as the engine's guarded division.
Samples are reflectance x `scale`: every index whose published form is not a ratio of terms of
equal degree in reflectance carries `scale` where the paper has a reflectance-unit constant or an
absolute reflectance, so that it gives the published values on scaled samples and on plain
reflectance alike (scale 1). Squares are written as products, so that no formula depends on the
C library's powf.

Narrow-band indices are given with the Sentinel-2 bands closest to the published wavelengths:
rededge1 ~705 nm for 700-720, rededge2 ~740 nm for 740-750, rededge3 ~783 nm for 780-800.
"""
from __future__ import annotations

from typing import NamedTuple


class Entry(NamedTuple):
    name: str
    long_name: str
    formula: str
    domain: str
    reference: str
    constants: dict[str, float]


def _entry(name: str, long_name: str, formula: str, domain: str, reference: str,
           **constants: float) -> Entry:
    return Entry(name, long_name, formula, domain, reference, constants)


def _normalized(name: str, long_name: str, a: str, b: str, domain: str,
                reference: str) -> Entry:
    return _entry(name, long_name, f"({a} - {b}) / ({a} + {b})", domain, reference)


_SCALE = 10000.0

# Shared denominators and references.
_HABOUDANE_2004_ROOT = ("sqrt((2 * nir + scale) * (2 * nir + scale)"
                        " - (6 * nir - 5 * sqrt(red * scale)) * scale - 0.5 * scale * scale)")
_TCARI = "3 * ((rededge1 - red) - 0.2 * (rededge1 - green) * (rededge1 / red))"
_GEMI_ETA = ("((2 * (nir * nir - red * red) + 1.5 * nir * scale + 0.5 * red * scale)"
             " / ((nir + red + 0.5 * scale) * scale))")
_GITELSON_1996 = ("Gitelson, Kaufman & Merzlyak (1996), Remote Sensing of Environment 58(3), "
                  "289-298")
_GITELSON_2003 = ("Gitelson, Gritz & Merzlyak (2003), Journal of Plant Physiology 160(3), "
                  "271-282")
_HABOUDANE_2002 = ("Haboudane, Miller, Tremblay, Zarco-Tejada & Dextraze (2002), Remote Sensing "
                   "of Environment 81(2-3), 416-426")
_HABOUDANE_2004 = ("Haboudane, Miller, Pattey, Zarco-Tejada & Strachan (2004), Remote Sensing "
                   "of Environment 90(3), 337-352")
_FRAMPTON_2013 = ("Frampton, Dash, Watmough & Milton (2013), ISPRS Journal of Photogrammetry "
                  "and Remote Sensing 82, 83-92")
_SIMS_2002 = "Sims & Gamon (2002), Remote Sensing of Environment 81(2-3), 337-354"
_BENDIG_2015 = ("Bendig et al. (2015), International Journal of Applied Earth Observation and "
                "Geoinformation 39, 79-87")
_FEYISA_2014 = ("Feyisa, Meilby, Fensholt & Proud (2014), Remote Sensing of Environment 140, "
                "23-35")
_BAIG_2014 = "Baig, Zhang, Shuai & Tong (2014), Remote Sensing Letters 5(5), 423-431"
_FIREMON = ("FIREMON: Fire Effects Monitoring and Inventory System, USDA Forest Service "
            "General Technical Report RMRS-GTR-164-CD")

VEGETATION = (
    _normalized("NDVI", "Normalized Difference Vegetation Index", "nir", "red", "vegetation",
                "Rouse, Haas, Schell & Deering (1974), Third Earth Resources Technology "
                "Satellite-1 Symposium, NASA SP-351, 309-317"),
    _normalized("GNDVI", "Green Normalized Difference Vegetation Index", "nir", "green",
                "vegetation", _GITELSON_1996),
    _entry("SAVI", "Soil-Adjusted Vegetation Index",
           "(1 + L) * ((nir - red) / (nir + red + L * scale))", "vegetation",
           "Huete (1988), Remote Sensing of Environment 25(3), 295-309", L=0.5, scale=_SCALE),
    _entry("MSAVI", "Modified Soil-Adjusted Vegetation Index",
           "(2 * nir + scale - sqrt((2 * nir + scale) ** 2 - 8 * scale * (nir - red)))"
           " / (2 * scale)", "vegetation",
           "Qi, Chehbouni, Huete, Kerr & Sorooshian (1994), Remote Sensing of Environment "
           "48(2), 119-126", scale=_SCALE),
    _entry("EVI", "Enhanced Vegetation Index",
           "G * ((nir - red) / (nir + C1 * red - C2 * blue + L * scale))", "vegetation",
           "Huete, Didan, Miura, Rodriguez, Gao & Ferreira (2002), Remote Sensing of "
           "Environment 83(1-2), 195-213", G=2.5, C1=6.0, C2=7.5, L=1.0, scale=_SCALE),
    _entry("EVI2", "Two-band Enhanced Vegetation Index",
           "G * ((nir - red) / (nir + C * red + L * scale))", "vegetation",
           "Jiang, Huete, Didan & Miura (2008), Remote Sensing of Environment 112(10), "
           "3833-3845", G=2.5, C=2.4, L=1.0, scale=_SCALE),
    _entry("SR", "Simple Ratio", "nir / red", "vegetation",
           "Jordan (1969), Ecology 50(4), 663-666"),
    _entry("DVI", "Difference Vegetation Index", "(nir - red) / scale", "vegetation",
           "Tucker (1979), Remote Sensing of Environment 8(2), 127-150", scale=_SCALE),
    _entry("OSAVI", "Optimized Soil-Adjusted Vegetation Index",
           "(nir - red) / (nir + red + X * scale)", "vegetation",
           "Rondeaux, Steven & Baret (1996), Remote Sensing of Environment 55(2), 95-107",
           X=0.16, scale=_SCALE),
    _entry("RDVI", "Renormalized Difference Vegetation Index",
           "(nir - red) / sqrt((nir + red) * scale)", "vegetation",
           "Roujean & Breon (1995), Remote Sensing of Environment 51(3), 375-384",
           scale=_SCALE),
    _entry("MSR", "Modified Simple Ratio", "(nir / red - 1) / sqrt(nir / red + 1)",
           "vegetation", "Chen (1996), Canadian Journal of Remote Sensing 22(3), 229-242"),
    _entry("NLI", "Non-Linear Index",
           "(nir * nir - red * scale) / (nir * nir + red * scale)", "vegetation",
           "Goel & Qin (1994), Remote Sensing Reviews 10(4), 309-347", scale=_SCALE),
    _entry("WDRVI", "Wide Dynamic Range Vegetation Index",
           "(alpha * nir - red) / (alpha * nir + red)", "vegetation",
           "Gitelson (2004), Journal of Plant Physiology 161(2), 165-173", alpha=0.2),
    _normalized("GRVI", "Green-Red Vegetation Index", "green", "red", "vegetation",
                "Motohka, Nasahara, Oguma & Tsuchida (2010), Remote Sensing 2(10), 2369-2387"),
    _entry("VARI", "Visible Atmospherically Resistant Index",
           "(green - red) / (green + red - blue)", "vegetation",
           "Gitelson, Kaufman, Stark & Rundquist (2002), Remote Sensing of Environment 80(1), "
           "76-87"),
    _entry("ARVI", "Atmospherically Resistant Vegetation Index",
           "(nir - (red - gamma * (blue - red))) / (nir + (red - gamma * (blue - red)))",
           "vegetation",
           "Kaufman & Tanre (1992), IEEE Transactions on Geoscience and Remote Sensing 30(2), "
           "261-270", gamma=1.0),
    _entry("GARI", "Green Atmospherically Resistant Index",
           "(nir - (green - gamma * (blue - red))) / (nir + (green - gamma * (blue - red)))",
           "vegetation", _GITELSON_1996, gamma=1.7),
    _entry("SIPI", "Structure Insensitive Pigment Index", "(nir - blue) / (nir - red)",
           "vegetation", "Penuelas, Baret & Filella (1995), Photosynthetica 31(2), 221-230"),
    _entry("IPVI", "Infrared Percentage Vegetation Index", "nir / (nir + red)", "vegetation",
           "Crippen (1990), Remote Sensing of Environment 34(1), 71-73"),
    _entry("GEMI", "Global Environment Monitoring Index",
           f"{_GEMI_ETA} * (1 - 0.25 * {_GEMI_ETA}) - (red - 0.125 * scale) / (scale - red)",
           "vegetation", "Pinty & Verstraete (1992), Vegetatio 101(1), 15-20", scale=_SCALE),
    _entry("GLI", "Green Leaf Index", "(2 * green - red - blue) / (2 * green + red + blue)",
           "vegetation",
           "Louhaichi, Borman & Johnson (2001), Geocarto International 16(1), 65-70"),
    _entry("ExG", "Excess Green Index", "(2 * green - red - blue) / (green + red + blue)",
           "vegetation",
           "Woebbecke, Meyer, Von Bargen & Mortensen (1995), Transactions of the ASAE 38(1), "
           "259-269"),
    _entry("MGRVI", "Modified Green Red Vegetation Index",
           "(green * green - red * red) / (green * green + red * red)", "vegetation",
           _BENDIG_2015),
    _entry("RGBVI", "Red Green Blue Vegetation Index",
           "(green * green - blue * red) / (green * green + blue * red)", "vegetation",
           _BENDIG_2015),
    _entry("NIRv", "Near-Infrared Reflectance of Vegetation",
           "(nir - red) / (nir + red) * nir / scale", "vegetation",
           "Badgley, Field & Berry (2017), Science Advances 3(3), e1602244", scale=_SCALE),
    _entry("TGI", "Triangular Greenness Index",
           "-0.5 * (190 * (red - green) - 120 * (red - blue)) / scale", "vegetation",
           "Hunt, Doraiswamy, McMurtrey, Daughtry, Perry & Akhmedov (2013), International "
           "Journal of Applied Earth Observation and Geoinformation 21, 103-112", scale=_SCALE),
    _entry("SLAVI", "Specific Leaf Area Vegetation Index", "nir / (red + swir2)", "vegetation",
           "Lymburner, Beggs & Jacobson (2000), Photogrammetric Engineering and Remote "
           "Sensing 66(2), 183-191"),
    _normalized("NDYI", "Normalized Difference Yellowness Index", "green", "blue", "vegetation",
                "Sulik & Long (2016), Remote Sensing of Environment 184, 161-174"),
    # MCARI2 and MTVI2 have numerators that expand to the same polynomial; both names are in
    # use, so both are here, each in its paper's form.
    _entry("MCARI2", "Modified Chlorophyll Absorption Ratio Index 2",
           f"1.5 * (2.5 * (nir - red) - 1.3 * (nir - green)) / {_HABOUDANE_2004_ROOT}",
           "vegetation", _HABOUDANE_2004, scale=_SCALE),
    _entry("MTVI2", "Modified Triangular Vegetation Index 2",
           f"1.5 * (1.2 * (nir - green) - 2.5 * (red - green)) / {_HABOUDANE_2004_ROOT}",
           "vegetation", _HABOUDANE_2004, scale=_SCALE),
    _entry("TVI", "Triangular Vegetation Index",
           "0.5 * (120 * (rededge2 - green) - 200 * (red - green)) / scale", "vegetation",
           "Broge & Leblanc (2001), Remote Sensing of Environment 76(2), 156-172",
           scale=_SCALE),
    _entry("TCB", "Tasseled Cap Brightness (Landsat 8 OLI)",
           "(0.3029 * blue + 0.2786 * green + 0.4733 * red + 0.5599 * nir + 0.508 * swir1"
           " + 0.1872 * swir2) / scale", "soil", _BAIG_2014, scale=_SCALE),
    _entry("TCG", "Tasseled Cap Greenness (Landsat 8 OLI)",
           "(-0.2941 * blue - 0.243 * green - 0.5424 * red + 0.7276 * nir + 0.0713 * swir1"
           " - 0.1608 * swir2) / scale", "vegetation", _BAIG_2014, scale=_SCALE),
)

CHLOROPHYLL = (
    _normalized("NDRE", "Normalized Difference Red Edge", "nir", "rededge1", "chlorophyll",
                "Barnes et al. (2000), Proceedings of the Fifth International Conference on "
                "Precision Agriculture, Bloomington"),
    _entry("CIre", "Chlorophyll Index Red Edge", "rededge3 / rededge1 - 1", "chlorophyll",
           _GITELSON_2003 + "; Sentinel-2 bands after Clevers & Gitelson (2013), International "
           "Journal of Applied Earth Observation and Geoinformation 23, 344-351"),
    _entry("CIg", "Chlorophyll Index Green", "nir / green - 1", "chlorophyll", _GITELSON_2003),
    _entry("MCARI", "Modified Chlorophyll Absorption in Reflectance Index",
           "((rededge1 - red) - 0.2 * (rededge1 - green)) * (rededge1 / red) / scale",
           "chlorophyll",
           "Daughtry, Walthall, Kim, Brown de Colstoun & McMurtrey (2000), Remote Sensing of "
           "Environment 74(2), 229-239", scale=_SCALE),
    _entry("TCARI", "Transformed Chlorophyll Absorption in Reflectance Index",
           f"{_TCARI} / scale", "chlorophyll", _HABOUDANE_2002, scale=_SCALE),
    _entry("TCARIOSAVI", "TCARI / OSAVI",
           f"{_TCARI} / ((1 + X) * (nir - red) / (nir + red + X * scale)) / scale",
           "chlorophyll", _HABOUDANE_2002, X=0.16, scale=_SCALE),
    _entry("MTCI", "MERIS Terrestrial Chlorophyll Index",
           "(rededge2 - rededge1) / (rededge1 - red)", "chlorophyll",
           "Dash & Curran (2004), International Journal of Remote Sensing 25(23), 5403-5413"),
    _entry("S2REP", "Sentinel-2 Red-Edge Position (nm)",
           "705 + 35 * (((rededge3 + red) / 2 - rededge1) / (rededge2 - rededge1))",
           "chlorophyll", _FRAMPTON_2013),
    _entry("REIP", "Red-Edge Inflection Point, linear interpolation (nm)",
           "700 + 40 * (((red + rededge3) / 2 - rededge1) / (rededge2 - rededge1))",
           "chlorophyll",
           "Guyot & Baret (1988), Proceedings of the 4th International Colloquium on Spectral "
           "Signatures of Objects in Remote Sensing, ESA SP-287, 279-286"),
    _entry("IRECI", "Inverted Red-Edge Chlorophyll Index",
           "(rededge3 - red) / (rededge1 / rededge2) / scale", "chlorophyll", _FRAMPTON_2013,
           scale=_SCALE),
    _normalized("NDI45", "Normalized Difference Index 45", "rededge1", "red", "chlorophyll",
                "Delegido, Verrelst, Alonso & Moreno (2011), Sensors 11(7), 7063-7081"),
    _normalized("RENDVI", "Red-Edge Normalized Difference Vegetation Index", "rededge2",
                "rededge1", "chlorophyll",
                "Gitelson & Merzlyak (1994), Journal of Plant Physiology 143(3), 286-292"),
    _entry("mSR705", "Modified Simple Ratio 705", "(rededge2 - blue) / (rededge1 - blue)",
           "chlorophyll", _SIMS_2002),
    _entry("mND705", "Modified Normalized Difference 705",
           "(rededge2 - rededge1) / (rededge2 + rededge1 - 2 * blue)", "chlorophyll",
           _SIMS_2002),
    _entry("TCI", "Triangular Chlorophyll Index",
           "(1.2 * (rededge1 - green) - 1.5 * (red - green) * sqrt(rededge1 / red)) / scale",
           "chlorophyll",
           "Haboudane, Tremblay, Miller & Vigneault (2008), IEEE Transactions on Geoscience "
           "and Remote Sensing 46(2), 423-437", scale=_SCALE),
    _entry("GM1", "Gitelson and Merzlyak Index 1", "rededge2 / green", "chlorophyll",
           "Gitelson & Merzlyak (1997), International Journal of Remote Sensing 18(12), "
           "2691-2697"),
    _entry("GM2", "Gitelson and Merzlyak Index 2", "rededge2 / rededge1", "chlorophyll",
           "Gitelson & Merzlyak (1997), International Journal of Remote Sensing 18(12), "
           "2691-2697"),
    _normalized("SeLI", "Sentinel-2 LAI Green Index", "nir08", "rededge1", "chlorophyll",
                "Pasqualotto, Delegido, Van Wittenberghe, Rinaldi & Moreno (2019), Sensors "
                "19(4), 904"),
    _entry("PSRI", "Plant Senescence Reflectance Index", "(red - blue) / rededge2",
           "chlorophyll",
           "Merzlyak, Gitelson, Chivkunova & Rakitin (1999), Physiologia Plantarum 106(1), "
           "135-141"),
    _entry("ARI", "Anthocyanin Reflectance Index", "scale / green - scale / rededge1",
           "chlorophyll",
           "Gitelson, Merzlyak & Chivkunova (2001), Photochemistry and Photobiology 74(1), "
           "38-45", scale=_SCALE),
    _normalized("NPCI", "Normalized Pigment Chlorophyll Ratio Index", "red", "coastal",
                "chlorophyll",
                "Penuelas, Gamon, Fredeen, Merino & Field (1994), Remote Sensing of "
                "Environment 48(2), 135-146"),
    _entry("CVI", "Chlorophyll Vegetation Index", "nir * red / (green * green)", "chlorophyll",
           "Vincini, Frazzi & D'Alessio (2008), Precision Agriculture 9(5), 303-319"),
)

WATER = (
    _normalized("NDWI", "Normalized Difference Water Index", "green", "nir", "water",
                "McFeeters (1996), International Journal of Remote Sensing 17(7), 1425-1432"),
    _normalized("MNDWI", "Modified Normalized Difference Water Index", "green", "swir1",
                "water", "Xu (2006), International Journal of Remote Sensing 27(14), 3025-3033"),
    _normalized("NDMI", "Normalized Difference Moisture Index", "nir", "swir1", "water",
                "Gao (1996), Remote Sensing of Environment 58(3), 257-266; Wilson & Sader "
                "(2002), Remote Sensing of Environment 80(3), 385-396"),
    _entry("AWEInsh", "Automated Water Extraction Index, no shadows",
           "(4 * (green - swir1) - (0.25 * nir + 2.75 * swir2)) / scale", "water", _FEYISA_2014,
           scale=_SCALE),
    _entry("AWEIsh", "Automated Water Extraction Index, shadows",
           "(blue + 2.5 * green - 1.5 * (nir + swir1) - 0.25 * swir2) / scale", "water",
           _FEYISA_2014, scale=_SCALE),
    _entry("WI2015", "Water Index 2015",
           "1.7204 + (171 * green + 3 * red - 70 * nir - 45 * swir1 - 71 * swir2) / scale",
           "water", "Fisher, Flood & Danaher (2016), Remote Sensing of Environment 175, 167-182",
           scale=_SCALE),
    _entry("WRI", "Water Ratio Index", "(green + red) / (nir + swir1)", "water",
           "Shen & Li (2010), 18th International Conference on Geoinformatics, IEEE"),
    _normalized("NDTI", "Normalized Difference Turbidity Index", "red", "green", "water",
                "Lacaux, Tourre, Vignolles, Ndione & Lafaye (2007), Remote Sensing of "
                "Environment 106(1), 66-74"),
    _normalized("NDCI", "Normalized Difference Chlorophyll Index", "rededge1", "red", "water",
                "Mishra & Mishra (2012), Remote Sensing of Environment 117, 394-406"),
    _entry("MSI", "Moisture Stress Index", "swir1 / nir", "water",
           "Hunt & Rock (1989), Remote Sensing of Environment 30(1), 43-54"),
    _entry("NMDI", "Normalized Multi-band Drought Index",
           "(nir - (swir1 - swir2)) / (nir + (swir1 - swir2))", "water",
           "Wang & Qu (2007), Geophysical Research Letters 34(20), L20405"),
    _entry("GVMI", "Global Vegetation Moisture Index",
           "((nir + 0.1 * scale) - (swir1 + 0.02 * scale))"
           " / ((nir + 0.1 * scale) + (swir1 + 0.02 * scale))", "water",
           "Ceccato, Gobron, Flasse, Pinty & Tarantola (2002), Remote Sensing of Environment "
           "82(2-3), 188-197", scale=_SCALE),
    _entry("TCW", "Tasseled Cap Wetness (Landsat 8 OLI)",
           "(0.1511 * blue + 0.1973 * green + 0.3283 * red + 0.3407 * nir - 0.7117 * swir1"
           " - 0.4559 * swir2) / scale", "water", _BAIG_2014, scale=_SCALE),
)

SNOW = (
    _normalized("NDSI", "Normalized Difference Snow Index", "green", "swir1", "snow",
                "Hall, Riggs & Salomonson (1995), Remote Sensing of Environment 54(2), "
                "127-140"),
    _entry("S3", "S3 Snow Index", "nir * (red - swir1) / ((nir + red) * (nir + swir1))", "snow",
           "Saito & Yamazaki (1999), Journal of Japan Society of Hydrology and Water "
           "Resources 12(1), 28-38"),
)

BURN = (
    _normalized("NBR", "Normalized Burn Ratio", "nir", "swir2", "burn",
                "Key & Benson (2006), Landscape Assessment, in " + _FIREMON),
    _normalized("NBR2", "Normalized Burn Ratio 2", "swir1", "swir2", "burn",
                "Lutes et al. (2006), " + _FIREMON),
    _entry("BAI", "Burned Area Index",
           "scale * scale / ((0.1 * scale - red) * (0.1 * scale - red)"
           " + (0.06 * scale - nir) * (0.06 * scale - nir))", "burn",
           "Chuvieco, Martin & Palacios (2002), International Journal of Remote Sensing "
           "23(23), 5103-5110", scale=_SCALE),
    _entry("BAIS2", "Burned Area Index for Sentinel-2",
           "(1 - sqrt(rededge2 * rededge3 * nir08 / red) / scale)"
           " * ((swir2 - nir08) / sqrt((swir2 + nir08) * scale) + 1)", "burn",
           "Filipponi (2018), Proceedings 2(7), 364", scale=_SCALE),
    _entry("NBRT1", "Normalized Burn Ratio Thermal (thermal1 in kelvin)",
           "(nir - swir2 * thermal1 / 1000) / (nir + swir2 * thermal1 / 1000)", "burn",
           "Holden, Smith, Morgan, Rollins & Gessler (2005), International Journal of Remote "
           "Sensing 26(21), 4801-4808"),
    _entry("MIRBI", "Mid-Infrared Burn Index", "(10 * swir2 - 9.8 * swir1) / scale + 2", "burn",
           "Trigg & Flasse (2001), International Journal of Remote Sensing 22(13), 2641-2647",
           scale=_SCALE),
)

URBAN = (
    _normalized("NDBI", "Normalized Difference Built-up Index", "swir1", "nir", "urban",
                "Zha, Gao & Ni (2003), International Journal of Remote Sensing 24(3), "
                "583-594"),
    _entry("IBI", "Index-based Built-up Index",
           "(2 * swir1 / (swir1 + nir) - (nir / (nir + red) + green / (green + swir1)))"
           " / (2 * swir1 / (swir1 + nir) + (nir / (nir + red) + green / (green + swir1)))",
           "urban", "Xu (2008), International Journal of Remote Sensing 29(14), 4269-4276"),
    _normalized("UI", "Urban Index", "swir2", "nir", "urban",
                "Kawamura, Jayamana & Tsujiko (1996), International Archives of "
                "Photogrammetry and Remote Sensing 31(B7), 321-326"),
    _entry("BLFEI", "Built-up Land Features Extraction Index",
           "((green + red + swir2) / 3 - swir1) / ((green + red + swir2) / 3 + swir1)", "urban",
           "Bouhennache, Bouden, Taleb-Ahmed & Cheddad (2019), Geocarto International 34(14), "
           "1531-1551"),
    _normalized("VrNIRBI", "Visible Red-based Built-up Index", "red", "nir", "urban",
                "Estoque & Murayama (2015), Ecological Indicators 56, 205-217"),
)

SOIL = (
    _entry("BSI", "Bare Soil Index",
           "((swir1 + red) - (nir + blue)) / ((swir1 + red) + (nir + blue))", "soil",
           "Rikimaru, Roy & Miyatake (2002), Tropical Ecology 43(1), 39-47"),
    _entry("DBSI", "Dry Bare-Soil Index",
           "(swir1 - green) / (swir1 + green) - (nir - red) / (nir + red)", "soil",
           "Rasul et al. (2018), Land 7(3), 81"),
    _entry("MBI", "Modified Bare Soil Index",
           "(swir1 - swir2 - nir) / (swir1 + swir2 + nir) + 0.5", "soil",
           "Nguyen, Chidthaisong, Kieu Diem & Huo (2021), Land 10(3), 231"),
)

ENTRIES = VEGETATION + CHLOROPHYLL + WATER + SNOW + BURN + URBAN + SOIL
