// The Extended Search and the callsign lookup on a full-size call.db, side by side with SQLite
// answering the same questions from the same records, with the floor of any design that
// streams the text area (reading it in 65,536-byte fills and finding its zero bytes), and with
// the lookup reading the index through a memory map instead of read calls.
//
//   build/search_bench [--benchmark_...]
// takes the data folder `calldb demo` made from $CALLDB_BENCH_DATA (its calldb/call.db and
// callprev.db), or makes synthetic licences of the same size when the variable is unset, and
// loads the same licences into SQLite. Prints Google Benchmark's table, then the ratios. Before
// the benchmarks it checks once that both sides find the same licensees for each search and
// give the same answer for each probed callsign.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_support.h"
#include "dbfiles/dbwriter.h"
#include "dbfiles/lookup.h"
#include "dbfiles/usdb.h"
#include "lookup/extended_search.h"

namespace {

constexpr int kEntries = 780000;
// The callsigns probed: licensed ones, callsigns nobody holds, and former callsigns that
// callprev.db maps onto current ones, mixed in random order.
constexpr int kExistingProbes = 1000;
constexpr int kMissingProbes = 800;
constexpr int kPreviousProbes = 200;
constexpr int kPreviousCalls = 20000;  // in the synthetic callprev.db
constexpr char kName[] = "SMITH, J";
constexpr char kCity[] = "SPRINGFIELD";
constexpr char kState[] = "CA";

// ---------------------------------------------------------------------------------------------
// Made-up licensees that look like real ones: common surnames and given names, real US cities.
// Earlier names in each list are drawn more often, as in a real population.

const char* const kLastNames[] = {
    "SMITH", "JOHNSON", "WILLIAMS", "BROWN", "JONES", "GARCIA", "MILLER", "DAVIS", "RODRIGUEZ",
    "MARTINEZ", "HERNANDEZ", "LOPEZ", "GONZALEZ", "WILSON", "ANDERSON", "THOMAS", "TAYLOR",
    "MOORE", "JACKSON", "MARTIN", "LEE", "PEREZ", "THOMPSON", "WHITE", "HARRIS", "SANCHEZ",
    "CLARK", "RAMIREZ", "LEWIS", "ROBINSON", "WALKER", "YOUNG", "ALLEN", "KING", "WRIGHT",
    "SCOTT", "TORRES", "NGUYEN", "HILL", "FLORES", "GREEN", "ADAMS", "NELSON", "BAKER", "HALL",
    "RIVERA", "CAMPBELL", "MITCHELL", "CARTER", "ROBERTS", "GOMEZ", "PHILLIPS", "EVANS",
    "TURNER", "DIAZ", "PARKER", "CRUZ", "EDWARDS", "COLLINS", "REYES", "STEWART", "MORRIS",
    "MORALES", "MURPHY", "COOK", "ROGERS", "GUTIERREZ", "ORTIZ", "MORGAN", "COOPER", "PETERSON",
    "BAILEY", "REED", "KELLY", "HOWARD", "RAMOS", "KIM", "COX", "WARD", "RICHARDSON", "WATSON",
    "BROOKS", "CHAVEZ", "WOOD", "JAMES", "BENNETT", "GRAY", "MENDOZA", "RUIZ", "HUGHES", "PRICE",
    "ALVAREZ", "CASTILLO", "SANDERS", "PATEL", "MYERS", "LONG", "ROSS", "FOSTER", "JIMENEZ",
    "POWELL", "JENKINS", "PERRY", "RUSSELL", "SULLIVAN", "BELL", "COLEMAN", "BUTLER",
    "HENDERSON", "BARNES", "GONZALES", "FISHER", "VASQUEZ", "SIMMONS", "ROMERO", "JORDAN",
    "PATTERSON", "ALEXANDER", "HAMILTON", "GRAHAM", "REYNOLDS", "GRIFFIN", "WALLACE", "MORENO",
    "WEST", "COLE", "HAYES", "BRYANT", "HERRERA", "GIBSON", "ELLIS", "TRAN", "MEDINA", "AGUILAR",
    "STEVENS", "MURRAY", "FORD", "CASTRO", "MARSHALL", "OWENS", "HARRISON", "FERNANDEZ",
    "MCDONALD", "WOODS", "WASHINGTON", "KENNEDY", "WELLS", "VARGAS", "HENRY", "CHEN", "FREEMAN",
    "WEBB", "TUCKER", "GUZMAN", "BURNS", "CRAWFORD", "OLSON", "SIMPSON", "PORTER", "HUNTER",
    "GORDON", "MENDEZ", "SILVA", "SHAW", "SNYDER", "MASON", "DIXON", "MUNOZ", "HUNT", "HICKS",
    "HOLMES", "PALMER", "WAGNER", "BLACK", "ROBERTSON", "BOYD", "ROSE", "STONE", "SALAZAR", "FOX",
    "WARREN", "MILLS", "MEYER", "RICE", "SCHMIDT", "GARZA", "DANIELS", "FERGUSON", "NICHOLS",
    "STEPHENS", "SOTO", "WEAVER", "RYAN", "GARDNER", "PAYNE", "GRANT", "DUNN", "KELLEY",
    "SPENCER", "HAWKINS", "ARNOLD", "PIERCE", "VAZQUEZ", "HANSEN", "PETERS", "SANTOS", "HART",
    "BRADLEY", "KNIGHT", "ELLIOTT", "CUNNINGHAM", "DUNCAN", "ARMSTRONG", "HUDSON", "CARROLL",
    "LANE", "RILEY", "ANDREWS", "ALVARADO", "RAY", "DELGADO", "BERRY", "PERKINS", "HOFFMAN",
    "JOHNSTON", "MATTHEWS", "PENA", "RICHARDS", "CONTRERAS", "WILLIS", "CARPENTER", "LAWRENCE",
    "SANDOVAL", "GUERRERO", "GEORGE", "CHAPMAN", "RIOS", "ESTRADA", "ORTEGA", "WATKINS",
    "GREENE", "NUNEZ", "WHEELER", "VALDEZ", "HARPER", "BURKE", "LARSON", "SANTIAGO", "MALDONADO",
    "MORRISON", "FRANKLIN", "CARLSON", "AUSTIN", "DOMINGUEZ", "CARR", "LAWSON", "JACOBS",
    "OBRIEN", "LYNCH", "SINGH", "VEGA", "BISHOP", "MONTGOMERY", "OLIVER", "JENSEN", "HARVEY",
    "WILLIAMSON", "GILBERT", "DEAN", "SIMS", "ESPINOZA", "HOWELL", "LI", "WONG", "REID", "HANSON",
    "LE", "MCCOY", "GARRETT", "BURTON", "FULLER", "WANG", "WEBER", "WELCH", "ROJAS", "LUCAS",
    "MARQUEZ", "FIELDS", "PARK", "YANG", "LITTLE", "BANKS", "PADILLA", "DAY", "WALSH", "BOWMAN",
    "SCHULTZ", "LUNA", "FOWLER", "MEJIA", "DAVIDSON", "ACOSTA", "BREWER", "MAY", "HOLLAND",
    "JUAREZ", "NEWMAN", "PEARSON", "CURTIS", "CORTEZ", "DOUGLAS", "SCHNEIDER", "JOSEPH",
    "BARRETT", "NAVARRO", "FIGUEROA", "KELLER", "AVILA", "WADE", "MOLINA", "STANLEY", "HOPKINS",
    "CAMPOS", "BARNETT", "BATES", "CHAMBERS", "CALDWELL", "BECK", "LAMBERT", "MIRANDA", "BYRD",
    "CRAIG", "AYALA", "LOWE", "FRAZIER", "POWERS", "NEAL", "LEONARD", "GREGORY", "CARRILLO",
    "SUTTON", "FLEMING", "RHODES", "SHELTON", "SCHWARTZ", "NORRIS", "JENNINGS", "WATTS", "DURAN",
    "WALTERS", "COHEN", "MCDANIEL", "MORAN", "PARKS", "STEELE", "VAUGHN", "BECKER", "HOLT",
    "DELEON", "BARKER", "TERRY", "HALE", "LEON"};

const char* const kFirstNames[] = {
    "JAMES", "JOHN", "ROBERT", "MICHAEL", "WILLIAM", "DAVID", "RICHARD", "JOSEPH", "THOMAS",
    "CHARLES", "CHRISTOPHER", "DANIEL", "MATTHEW", "ANTHONY", "DONALD", "MARK", "PAUL", "STEVEN",
    "ANDREW", "KENNETH", "JOSHUA", "KEVIN", "BRIAN", "GEORGE", "EDWARD", "RONALD", "TIMOTHY",
    "JASON", "JEFFREY", "RYAN", "JACOB", "GARY", "NICHOLAS", "ERIC", "JONATHAN", "STEPHEN",
    "LARRY", "JUSTIN", "SCOTT", "BRANDON", "BENJAMIN", "SAMUEL", "FRANK", "GREGORY", "RAYMOND",
    "ALEXANDER", "PATRICK", "JACK", "DENNIS", "JERRY", "TYLER", "AARON", "JOSE", "HENRY", "ADAM",
    "DOUGLAS", "NATHAN", "PETER", "ZACHARY", "KYLE", "WALTER", "HAROLD", "JEREMY", "ETHAN",
    "CARL", "KEITH", "ROGER", "GERALD", "CHRISTIAN", "TERRY", "SEAN", "ARTHUR", "AUSTIN", "NOAH",
    "LAWRENCE", "JESSE", "JOE", "BRYAN", "BILLY", "JORDAN", "ALBERT", "DYLAN", "BRUCE", "WILLIE",
    "GABRIEL", "ALAN", "JUAN", "LOGAN", "WAYNE", "RALPH", "ROY", "EUGENE", "RANDY", "VINCENT",
    "RUSSELL", "LOUIS", "PHILIP", "BOBBY", "JOHNNY", "BRADLEY", "MARY", "PATRICIA", "JENNIFER",
    "LINDA", "ELIZABETH", "BARBARA", "SUSAN", "JESSICA", "SARAH", "KAREN", "NANCY", "LISA",
    "BETTY", "MARGARET", "SANDRA", "ASHLEY", "KIMBERLY", "EMILY", "DONNA", "MICHELLE", "DOROTHY",
    "CAROL", "AMANDA", "MELISSA", "DEBORAH", "STEPHANIE", "REBECCA", "SHARON", "LAURA",
    "CYNTHIA", "KATHLEEN", "AMY", "SHIRLEY", "ANGELA", "HELEN", "ANNA", "BRENDA", "PAMELA",
    "NICOLE", "EMMA", "SAMANTHA", "KATHERINE", "CHRISTINE", "DEBRA", "RACHEL", "CAROLYN", "JANET",
    "CATHERINE", "MARIA", "HEATHER", "DIANE", "JULIE", "JOYCE", "VICTORIA", "KELLY", "CHRISTINA",
    "JOAN", "EVELYN", "LAUREN", "JUDITH", "OLIVIA", "FRANCES", "MARTHA", "CHERYL", "MEGAN",
    "ANDREA", "HANNAH", "JACQUELINE", "ANN", "JEAN", "ALICE", "KATHRYN", "GLORIA", "TERESA",
    "DORIS", "SARA", "JANICE", "JULIA", "MARIE", "GRACE", "JUDY", "THERESA", "BEVERLY", "DENISE",
    "MARILYN", "AMBER", "DANIELLE", "ABIGAIL", "BRITTANY", "DIANA", "NATALIE", "LORI", "JANE"};

const char* const kStreetNames[] = {
    "MAIN", "OAK", "MAPLE", "PINE", "CEDAR", "ELM", "WASHINGTON", "LAKE", "HILL", "PARK",
    "WALNUT", "CHURCH", "SPRING", "RIDGE", "LINCOLN", "JEFFERSON", "FRANKLIN", "MILL", "HIGHLAND",
    "SUNSET", "RIVER", "FOREST", "MEADOW", "WILLOW", "CHESTNUT", "JACKSON", "MADISON", "BIRCH",
    "DOGWOOD", "HICKORY", "LAUREL", "CHERRY", "COLLEGE", "SCHOOL", "VALLEY", "CENTER", "BROAD",
    "UNION", "MARKET", "WATER", "HIGH", "ADAMS", "GRANT", "MONROE", "PROSPECT", "ORCHARD",
    "GREEN", "WOODLAND", "LAKEVIEW", "SHERWOOD", "COUNTY ROAD 12", "STATE ROUTE 9",
    "FIRST", "SECOND", "THIRD", "FOURTH", "FIFTH", "SIXTH", "SEVENTH", "EIGHTH", "NINTH",
    "TENTH", "ELEVENTH", "TWELFTH"};
const char* const kStreetTypes[] = {"ST", "AVE", "RD", "DR", "LN", "CT", "BLVD", "WAY", "PL",
                                    "CIR", "TRL", "PKWY"};
const char* const kDirections[] = {"N ", "S ", "E ", "W ", "NE ", "NW ", "SE ", "SW "};

// A city, its state and its population in thousands (the draw weight, capped for the largest).
struct Place {
  const char* city;
  const char* state;
  int thousands;
};

const Place kPlaces[] = {
    {"NEW YORK", "NY", 8300}, {"BUFFALO", "NY", 278}, {"ROCHESTER", "NY", 211},
    {"YONKERS", "NY", 211}, {"SYRACUSE", "NY", 148}, {"ALBANY", "NY", 99},
    {"SCHENECTADY", "NY", 68}, {"UTICA", "NY", 65}, {"BINGHAMTON", "NY", 47},
    {"ITHACA", "NY", 32}, {"POUGHKEEPSIE", "NY", 31}, {"ELMIRA", "NY", 27},
    {"LOS ANGELES", "CA", 3900}, {"SAN DIEGO", "CA", 1390}, {"SAN JOSE", "CA", 1010},
    {"SAN FRANCISCO", "CA", 815}, {"FRESNO", "CA", 542}, {"SACRAMENTO", "CA", 525},
    {"LONG BEACH", "CA", 466}, {"OAKLAND", "CA", 440}, {"BAKERSFIELD", "CA", 403},
    {"ANAHEIM", "CA", 346}, {"RIVERSIDE", "CA", 314}, {"SANTA ANA", "CA", 310},
    {"STOCKTON", "CA", 320}, {"IRVINE", "CA", 307}, {"CHULA VISTA", "CA", 275},
    {"FREMONT", "CA", 230}, {"SAN BERNARDINO", "CA", 222}, {"MODESTO", "CA", 218},
    {"FONTANA", "CA", 208}, {"OXNARD", "CA", 202}, {"GLENDALE", "CA", 196},
    {"HUNTINGTON BEACH", "CA", 198}, {"SANTA ROSA", "CA", 178}, {"OCEANSIDE", "CA", 174},
    {"GARDEN GROVE", "CA", 172}, {"TORRANCE", "CA", 143}, {"PASADENA", "CA", 138},
    {"SUNNYVALE", "CA", 155}, {"ESCONDIDO", "CA", 151}, {"CONCORD", "CA", 125},
    {"BERKELEY", "CA", 120}, {"LAKEWOOD", "CA", 82}, {"SANTA BARBARA", "CA", 88},
    {"REDDING", "CA", 93}, {"CHICO", "CA", 101}, {"SAN LUIS OBISPO", "CA", 47},
    {"EUREKA", "CA", 27}, {"MONTEREY", "CA", 30}, {"PALO ALTO", "CA", 68},
    {"MOUNTAIN VIEW", "CA", 82}, {"SANTA CRUZ", "CA", 62}, {"VENTURA", "CA", 110},
    {"LANCASTER", "CA", 173}, {"PALMDALE", "CA", 169}, {"BURBANK", "CA", 107},
    {"SANTA CLARA", "CA", 127}, {"VISALIA", "CA", 141}, {"RIDGECREST", "CA", 28},
    {"YUBA CITY", "CA", 70}, {"HOUSTON", "TX", 2300}, {"SAN ANTONIO", "TX", 1450},
    {"DALLAS", "TX", 1300}, {"AUSTIN", "TX", 960}, {"FORT WORTH", "TX", 920},
    {"EL PASO", "TX", 680}, {"ARLINGTON", "TX", 395}, {"CORPUS CHRISTI", "TX", 317},
    {"PLANO", "TX", 285}, {"LAREDO", "TX", 255}, {"LUBBOCK", "TX", 258}, {"IRVING", "TX", 256},
    {"GARLAND", "TX", 246}, {"AMARILLO", "TX", 200}, {"GRAND PRAIRIE", "TX", 196},
    {"MCKINNEY", "TX", 195}, {"FRISCO", "TX", 200}, {"BROWNSVILLE", "TX", 186},
    {"KILLEEN", "TX", 153}, {"PASADENA", "TX", 151}, {"MIDLAND", "TX", 132}, {"WACO", "TX", 138},
    {"DENTON", "TX", 139}, {"ABILENE", "TX", 125}, {"ODESSA", "TX", 114},
    {"BEAUMONT", "TX", 115}, {"TYLER", "TX", 105}, {"SAN ANGELO", "TX", 99},
    {"WICHITA FALLS", "TX", 102}, {"LONGVIEW", "TX", 81}, {"TEMPLE", "TX", 82},
    {"COLLEGE STATION", "TX", 120}, {"VICTORIA", "TX", 65}, {"SHERMAN", "TX", 43},
    {"ROUND ROCK", "TX", 119}, {"JACKSONVILLE", "FL", 950}, {"MIAMI", "FL", 440},
    {"TAMPA", "FL", 385}, {"ORLANDO", "FL", 307}, {"ST PETERSBURG", "FL", 258},
    {"HIALEAH", "FL", 223}, {"TALLAHASSEE", "FL", 196}, {"FORT LAUDERDALE", "FL", 182},
    {"PORT ST LUCIE", "FL", 204}, {"CAPE CORAL", "FL", 194}, {"PEMBROKE PINES", "FL", 171},
    {"HOLLYWOOD", "FL", 153}, {"GAINESVILLE", "FL", 141}, {"CLEARWATER", "FL", 117},
    {"PALM BAY", "FL", 119}, {"LAKELAND", "FL", 112}, {"PENSACOLA", "FL", 54},
    {"SARASOTA", "FL", 55}, {"MELBOURNE", "FL", 84}, {"OCALA", "FL", 63},
    {"DAYTONA BEACH", "FL", 72}, {"TITUSVILLE", "FL", 48}, {"FORT MYERS", "FL", 86},
    {"PANAMA CITY", "FL", 32}, {"NAPLES", "FL", 19}, {"THE VILLAGES", "FL", 79},
    {"BRADENTON", "FL", 55}, {"KISSIMMEE", "FL", 79}, {"CHICAGO", "IL", 2700},
    {"AURORA", "IL", 180}, {"NAPERVILLE", "IL", 149}, {"JOLIET", "IL", 150},
    {"ROCKFORD", "IL", 148}, {"SPRINGFIELD", "IL", 114}, {"PEORIA", "IL", 113},
    {"ELGIN", "IL", 114}, {"CHAMPAIGN", "IL", 88}, {"BLOOMINGTON", "IL", 78},
    {"DECATUR", "IL", 70}, {"EVANSTON", "IL", 75}, {"URBANA", "IL", 38},
    {"CARBONDALE", "IL", 22}, {"QUINCY", "IL", 39}, {"DANVILLE", "IL", 29}, {"MOLINE", "IL", 42},
    {"PHILADELPHIA", "PA", 1600}, {"PITTSBURGH", "PA", 302}, {"ALLENTOWN", "PA", 125},
    {"ERIE", "PA", 94}, {"READING", "PA", 95}, {"SCRANTON", "PA", 76}, {"BETHLEHEM", "PA", 75},
    {"LANCASTER", "PA", 58}, {"HARRISBURG", "PA", 50}, {"ALTOONA", "PA", 43}, {"YORK", "PA", 44},
    {"STATE COLLEGE", "PA", 40}, {"WILKES BARRE", "PA", 44}, {"JOHNSTOWN", "PA", 18},
    {"WILLIAMSPORT", "PA", 27}, {"COLUMBUS", "OH", 905}, {"CLEVELAND", "OH", 372},
    {"CINCINNATI", "OH", 309}, {"TOLEDO", "OH", 270}, {"AKRON", "OH", 190}, {"DAYTON", "OH", 137},
    {"PARMA", "OH", 81}, {"CANTON", "OH", 70}, {"YOUNGSTOWN", "OH", 60}, {"LORAIN", "OH", 65},
    {"SPRINGFIELD", "OH", 58}, {"HAMILTON", "OH", 63}, {"KETTERING", "OH", 57},
    {"ELYRIA", "OH", 52}, {"MANSFIELD", "OH", 47}, {"LIMA", "OH", 36}, {"ZANESVILLE", "OH", 25},
    {"ATHENS", "OH", 23}, {"MARION", "OH", 36}, {"FINDLAY", "OH", 41}, {"SANDUSKY", "OH", 25},
    {"DETROIT", "MI", 640}, {"GRAND RAPIDS", "MI", 198}, {"WARREN", "MI", 139},
    {"STERLING HEIGHTS", "MI", 134}, {"ANN ARBOR", "MI", 123}, {"LANSING", "MI", 112},
    {"FLINT", "MI", 81}, {"DEARBORN", "MI", 109}, {"KALAMAZOO", "MI", 73},
    {"TRAVERSE CITY", "MI", 15}, {"SAGINAW", "MI", 44}, {"MUSKEGON", "MI", 38},
    {"MARQUETTE", "MI", 20}, {"BATTLE CREEK", "MI", 52}, {"JACKSON", "MI", 31},
    {"MIDLAND", "MI", 42}, {"PORT HURON", "MI", 29}, {"ATLANTA", "GA", 498},
    {"COLUMBUS", "GA", 206}, {"AUGUSTA", "GA", 202}, {"MACON", "GA", 157},
    {"SAVANNAH", "GA", 147}, {"ATHENS", "GA", 127}, {"SANDY SPRINGS", "GA", 108},
    {"ROSWELL", "GA", 92}, {"ALBANY", "GA", 69}, {"MARIETTA", "GA", 61}, {"VALDOSTA", "GA", 55},
    {"WARNER ROBINS", "GA", 80}, {"ROME", "GA", 37}, {"GAINESVILLE", "GA", 42},
    {"DALTON", "GA", 34}, {"CHARLOTTE", "NC", 875}, {"RALEIGH", "NC", 467},
    {"GREENSBORO", "NC", 299}, {"DURHAM", "NC", 284}, {"WINSTON SALEM", "NC", 249},
    {"FAYETTEVILLE", "NC", 208}, {"CARY", "NC", 174}, {"WILMINGTON", "NC", 115},
    {"HIGH POINT", "NC", 114}, {"CONCORD", "NC", 105}, {"GREENVILLE", "NC", 87},
    {"ASHEVILLE", "NC", 94}, {"JACKSONVILLE", "NC", 72}, {"HICKORY", "NC", 43},
    {"BOONE", "NC", 19}, {"GASTONIA", "NC", 80}, {"CHAPEL HILL", "NC", 61},
    {"NEWARK", "NJ", 311}, {"JERSEY CITY", "NJ", 292}, {"PATERSON", "NJ", 159},
    {"ELIZABETH", "NJ", 137}, {"LAKEWOOD", "NJ", 135}, {"EDISON", "NJ", 107},
    {"TRENTON", "NJ", 90}, {"CAMDEN", "NJ", 71}, {"CLIFTON", "NJ", 90}, {"TOMS RIVER", "NJ", 95},
    {"CHERRY HILL", "NJ", 74}, {"PRINCETON", "NJ", 31}, {"VINELAND", "NJ", 60},
    {"ATLANTIC CITY", "NJ", 38}, {"MORRISTOWN", "NJ", 20}, {"VIRGINIA BEACH", "VA", 459},
    {"NORFOLK", "VA", 238}, {"CHESAPEAKE", "VA", 249}, {"RICHMOND", "VA", 226},
    {"NEWPORT NEWS", "VA", 186}, {"ALEXANDRIA", "VA", 159}, {"HAMPTON", "VA", 137},
    {"ROANOKE", "VA", 100}, {"PORTSMOUTH", "VA", 97}, {"LYNCHBURG", "VA", 79},
    {"ARLINGTON", "VA", 238}, {"CHARLOTTESVILLE", "VA", 46}, {"HARRISONBURG", "VA", 51},
    {"BLACKSBURG", "VA", 44}, {"WINCHESTER", "VA", 28}, {"FREDERICKSBURG", "VA", 28},
    {"DANVILLE", "VA", 42}, {"SEATTLE", "WA", 737}, {"SPOKANE", "WA", 228},
    {"TACOMA", "WA", 219}, {"VANCOUVER", "WA", 190}, {"BELLEVUE", "WA", 151},
    {"KENT", "WA", 136}, {"EVERETT", "WA", 110}, {"RENTON", "WA", 106}, {"YAKIMA", "WA", 96},
    {"SPOKANE VALLEY", "WA", 102}, {"BELLINGHAM", "WA", 91}, {"KENNEWICK", "WA", 83},
    {"OLYMPIA", "WA", 55}, {"RICHLAND", "WA", 60}, {"WENATCHEE", "WA", 35},
    {"PORT ANGELES", "WA", 20}, {"PHOENIX", "AZ", 1600}, {"TUCSON", "AZ", 542},
    {"MESA", "AZ", 504}, {"CHANDLER", "AZ", 275}, {"GLENDALE", "AZ", 248},
    {"SCOTTSDALE", "AZ", 241}, {"GILBERT", "AZ", 267}, {"TEMPE", "AZ", 180},
    {"PEORIA", "AZ", 190}, {"SURPRISE", "AZ", 143}, {"YUMA", "AZ", 95}, {"FLAGSTAFF", "AZ", 76},
    {"PRESCOTT", "AZ", 45}, {"SIERRA VISTA", "AZ", 45}, {"LAKE HAVASU CITY", "AZ", 57},
    {"KINGMAN", "AZ", 32}, {"BOSTON", "MA", 675}, {"WORCESTER", "MA", 206},
    {"SPRINGFIELD", "MA", 155}, {"CAMBRIDGE", "MA", 118}, {"LOWELL", "MA", 115},
    {"BROCKTON", "MA", 105}, {"NEW BEDFORD", "MA", 101}, {"QUINCY", "MA", 101},
    {"LYNN", "MA", 101}, {"FALL RIVER", "MA", 94}, {"NEWTON", "MA", 88},
    {"FRAMINGHAM", "MA", 72}, {"PITTSFIELD", "MA", 43}, {"WEST SPRINGFIELD", "MA", 28},
    {"PLYMOUTH", "MA", 61}, {"NASHVILLE", "TN", 690}, {"MEMPHIS", "TN", 633},
    {"KNOXVILLE", "TN", 190}, {"CHATTANOOGA", "TN", 181}, {"CLARKSVILLE", "TN", 166},
    {"MURFREESBORO", "TN", 152}, {"JACKSON", "TN", 68}, {"JOHNSON CITY", "TN", 71},
    {"KINGSPORT", "TN", 55}, {"OAK RIDGE", "TN", 31}, {"COOKEVILLE", "TN", 34},
    {"INDIANAPOLIS", "IN", 887}, {"FORT WAYNE", "IN", 263}, {"EVANSVILLE", "IN", 117},
    {"SOUTH BEND", "IN", 103}, {"CARMEL", "IN", 99}, {"FISHERS", "IN", 98},
    {"BLOOMINGTON", "IN", 79}, {"LAFAYETTE", "IN", 70}, {"MUNCIE", "IN", 65},
    {"TERRE HAUTE", "IN", 58}, {"KOKOMO", "IN", 59}, {"ANDERSON", "IN", 54},
    {"RICHMOND", "IN", 35}, {"KANSAS CITY", "MO", 508}, {"ST LOUIS", "MO", 301},
    {"SPRINGFIELD", "MO", 169}, {"COLUMBIA", "MO", 126}, {"INDEPENDENCE", "MO", 123},
    {"LEES SUMMIT", "MO", 101}, {"ST JOSEPH", "MO", 72}, {"JOPLIN", "MO", 51},
    {"ROLLA", "MO", 20}, {"CAPE GIRARDEAU", "MO", 40}, {"JEFFERSON CITY", "MO", 43},
    {"BALTIMORE", "MD", 585}, {"FREDERICK", "MD", 78}, {"ROCKVILLE", "MD", 67},
    {"GAITHERSBURG", "MD", 69}, {"HAGERSTOWN", "MD", 43}, {"ANNAPOLIS", "MD", 40},
    {"COLUMBIA", "MD", 104}, {"SALISBURY", "MD", 33}, {"BOWIE", "MD", 58},
    {"SILVER SPRING", "MD", 81}, {"MILWAUKEE", "WI", 577}, {"MADISON", "WI", 269},
    {"GREEN BAY", "WI", 107}, {"KENOSHA", "WI", 99}, {"RACINE", "WI", 77},
    {"APPLETON", "WI", 75}, {"WAUKESHA", "WI", 71}, {"EAU CLAIRE", "WI", 69},
    {"OSHKOSH", "WI", 66}, {"JANESVILLE", "WI", 65}, {"LA CROSSE", "WI", 52},
    {"WAUSAU", "WI", 39}, {"DENVER", "CO", 715}, {"COLORADO SPRINGS", "CO", 478},
    {"AURORA", "CO", 386}, {"FORT COLLINS", "CO", 169}, {"LAKEWOOD", "CO", 155},
    {"THORNTON", "CO", 141}, {"ARVADA", "CO", 124}, {"WESTMINSTER", "CO", 116},
    {"PUEBLO", "CO", 111}, {"BOULDER", "CO", 108}, {"GREELEY", "CO", 108},
    {"LONGMONT", "CO", 98}, {"LOVELAND", "CO", 76}, {"GRAND JUNCTION", "CO", 65},
    {"DURANGO", "CO", 19}, {"MINNEAPOLIS", "MN", 429}, {"ST PAUL", "MN", 311},
    {"ROCHESTER", "MN", 121}, {"DULUTH", "MN", 87}, {"BLOOMINGTON", "MN", 89},
    {"ST CLOUD", "MN", 68}, {"MANKATO", "MN", 44}, {"MOORHEAD", "MN", 44}, {"BEMIDJI", "MN", 15},
    {"COLUMBIA", "SC", 137}, {"CHARLESTON", "SC", 150}, {"NORTH CHARLESTON", "SC", 114},
    {"MOUNT PLEASANT", "SC", 90}, {"ROCK HILL", "SC", 74}, {"GREENVILLE", "SC", 70},
    {"SUMMERVILLE", "SC", 50}, {"SPARTANBURG", "SC", 38}, {"FLORENCE", "SC", 39},
    {"MYRTLE BEACH", "SC", 35}, {"AIKEN", "SC", 32}, {"ANDERSON", "SC", 28},
    {"HUNTSVILLE", "AL", 215}, {"BIRMINGHAM", "AL", 200}, {"MONTGOMERY", "AL", 200},
    {"MOBILE", "AL", 187}, {"TUSCALOOSA", "AL", 99}, {"HOOVER", "AL", 92}, {"DOTHAN", "AL", 71},
    {"AUBURN", "AL", 76}, {"DECATUR", "AL", 57}, {"FLORENCE", "AL", 40}, {"GADSDEN", "AL", 33},
    {"NEW ORLEANS", "LA", 383}, {"BATON ROUGE", "LA", 227}, {"SHREVEPORT", "LA", 187},
    {"LAFAYETTE", "LA", 121}, {"LAKE CHARLES", "LA", 84}, {"MONROE", "LA", 47},
    {"ALEXANDRIA", "LA", 45}, {"HOUMA", "LA", 33}, {"SLIDELL", "LA", 28},
    {"LOUISVILLE", "KY", 633}, {"LEXINGTON", "KY", 320}, {"BOWLING GREEN", "KY", 72},
    {"OWENSBORO", "KY", 60}, {"COVINGTON", "KY", 40}, {"RICHMOND", "KY", 35},
    {"PADUCAH", "KY", 27}, {"FRANKFORT", "KY", 28}, {"PORTLAND", "OR", 652},
    {"EUGENE", "OR", 176}, {"SALEM", "OR", 175}, {"GRESHAM", "OR", 114},
    {"HILLSBORO", "OR", 106}, {"BEAVERTON", "OR", 97}, {"BEND", "OR", 99}, {"MEDFORD", "OR", 85},
    {"SPRINGFIELD", "OR", 62}, {"CORVALLIS", "OR", 59}, {"ALBANY", "OR", 56},
    {"GRANTS PASS", "OR", 39}, {"KLAMATH FALLS", "OR", 22}, {"ROSEBURG", "OR", 24},
    {"OKLAHOMA CITY", "OK", 681}, {"TULSA", "OK", 413}, {"NORMAN", "OK", 128},
    {"BROKEN ARROW", "OK", 113}, {"LAWTON", "OK", 90}, {"EDMOND", "OK", 94},
    {"STILLWATER", "OK", 48}, {"ENID", "OK", 50}, {"MUSKOGEE", "OK", 37},
    {"BRIDGEPORT", "CT", 148}, {"NEW HAVEN", "CT", 134}, {"STAMFORD", "CT", 135},
    {"HARTFORD", "CT", 121}, {"WATERBURY", "CT", 114}, {"NORWALK", "CT", 91},
    {"DANBURY", "CT", 86}, {"NEW BRITAIN", "CT", 74}, {"NEW LONDON", "CT", 27},
    {"MERIDEN", "CT", 60}, {"SALT LAKE CITY", "UT", 200}, {"WEST VALLEY CITY", "UT", 140},
    {"PROVO", "UT", 115}, {"WEST JORDAN", "UT", 116}, {"OREM", "UT", 98}, {"OGDEN", "UT", 87},
    {"ST GEORGE", "UT", 95}, {"LOGAN", "UT", 52}, {"DES MOINES", "IA", 214},
    {"CEDAR RAPIDS", "IA", 137}, {"DAVENPORT", "IA", 101}, {"SIOUX CITY", "IA", 85},
    {"IOWA CITY", "IA", 75}, {"WATERLOO", "IA", 68}, {"AMES", "IA", 66}, {"DUBUQUE", "IA", 59},
    {"COUNCIL BLUFFS", "IA", 62}, {"LAS VEGAS", "NV", 641}, {"HENDERSON", "NV", 320},
    {"RENO", "NV", 264}, {"NORTH LAS VEGAS", "NV", 262}, {"SPARKS", "NV", 108},
    {"CARSON CITY", "NV", 58}, {"ELKO", "NV", 20}, {"LITTLE ROCK", "AR", 202},
    {"FORT SMITH", "AR", 89}, {"FAYETTEVILLE", "AR", 93}, {"SPRINGDALE", "AR", 84},
    {"JONESBORO", "AR", 78}, {"CONWAY", "AR", 64}, {"ROGERS", "AR", 69},
    {"BENTONVILLE", "AR", 54}, {"HOT SPRINGS", "AR", 38}, {"JACKSON", "MS", 153},
    {"GULFPORT", "MS", 72}, {"SOUTHAVEN", "MS", 55}, {"HATTIESBURG", "MS", 48},
    {"BILOXI", "MS", 49}, {"TUPELO", "MS", 38}, {"MERIDIAN", "MS", 35},
    {"STARKVILLE", "MS", 25}, {"WICHITA", "KS", 397}, {"OVERLAND PARK", "KS", 197},
    {"KANSAS CITY", "KS", 156}, {"OLATHE", "KS", 141}, {"TOPEKA", "KS", 126},
    {"LAWRENCE", "KS", 94}, {"MANHATTAN", "KS", 54}, {"SALINA", "KS", 47},
    {"HUTCHINSON", "KS", 40}, {"ALBUQUERQUE", "NM", 564}, {"LAS CRUCES", "NM", 111},
    {"RIO RANCHO", "NM", 104}, {"SANTA FE", "NM", 88}, {"ROSWELL", "NM", 48},
    {"FARMINGTON", "NM", 46}, {"LOS ALAMOS", "NM", 13}, {"CLOVIS", "NM", 38},
    {"OMAHA", "NE", 486}, {"LINCOLN", "NE", 291}, {"BELLEVUE", "NE", 64},
    {"GRAND ISLAND", "NE", 53}, {"KEARNEY", "NE", 33}, {"NORTH PLATTE", "NE", 23},
    {"BOISE", "ID", 235}, {"MERIDIAN", "ID", 117}, {"NAMPA", "ID", 100},
    {"IDAHO FALLS", "ID", 64}, {"POCATELLO", "ID", 56}, {"COEUR D ALENE", "ID", 54},
    {"TWIN FALLS", "ID", 51}, {"CHARLESTON", "WV", 48}, {"HUNTINGTON", "WV", 46},
    {"MORGANTOWN", "WV", 30}, {"PARKERSBURG", "WV", 29}, {"WHEELING", "WV", 27},
    {"HONOLULU", "HI", 350}, {"HILO", "HI", 45}, {"KAILUA", "HI", 38},
    {"MANCHESTER", "NH", 115}, {"NASHUA", "NH", 91}, {"CONCORD", "NH", 43}, {"DOVER", "NH", 32},
    {"PORTSMOUTH", "NH", 22}, {"KEENE", "NH", 23}, {"PORTLAND", "ME", 68},
    {"LEWISTON", "ME", 37}, {"BANGOR", "ME", 32}, {"AUGUSTA", "ME", 19},
    {"PROVIDENCE", "RI", 190}, {"WARWICK", "RI", 82}, {"CRANSTON", "RI", 82},
    {"PAWTUCKET", "RI", 75}, {"NEWPORT", "RI", 25}, {"BILLINGS", "MT", 117},
    {"MISSOULA", "MT", 74}, {"GREAT FALLS", "MT", 60}, {"BOZEMAN", "MT", 53}, {"BUTTE", "MT", 34},
    {"HELENA", "MT", 32}, {"WILMINGTON", "DE", 70}, {"DOVER", "DE", 39}, {"NEWARK", "DE", 31},
    {"SIOUX FALLS", "SD", 192}, {"RAPID CITY", "SD", 74}, {"ABERDEEN", "SD", 28},
    {"FARGO", "ND", 125}, {"BISMARCK", "ND", 73}, {"GRAND FORKS", "ND", 59}, {"MINOT", "ND", 48},
    {"ANCHORAGE", "AK", 291}, {"FAIRBANKS", "AK", 32}, {"JUNEAU", "AK", 32},
    {"BURLINGTON", "VT", 44}, {"RUTLAND", "VT", 16}, {"MONTPELIER", "VT", 8},
    {"SPRINGFIELD", "VT", 9}, {"CHEYENNE", "WY", 65}, {"CASPER", "WY", 58},
    {"LARAMIE", "WY", 32}, {"WASHINGTON", "DC", 690}, {"SAN JUAN", "PR", 342},
    {"BAYAMON", "PR", 185}, {"PONCE", "PR", 137}, {"MAYAGUEZ", "PR", 73}};

constexpr int kMaxWeight = 1000;  // the largest cities would crowd out the rest

int state_index(const char* code) {
  for (int i = 1; i < dbfiles::kStateCount; ++i) {
    if (std::strcmp(dbfiles::StateCodes[i], code) == 0) return i;
  }
  std::fprintf(stderr, "unknown state %s\n", code);
  std::exit(1);
}

// Draws an index with weight 1 / (rank + bias): the first few are common, the tail is long.
std::discrete_distribution<int> ranked(std::size_t n, double bias) {
  std::vector<double> w(n);
  for (std::size_t i = 0; i < n; ++i) w[i] = 1.0 / (static_cast<double>(i) + bias);
  return std::discrete_distribution<int>(w.begin(), w.end());
}

// Callsigns of every shape the FCC issues: 1x2, 2x1, 1x3, 2x2, 2x3, with A only as AA-AL.
std::string random_call(std::mt19937& rng) {
  static const char kOnePrefix[] = "KNW";
  auto letter = [&rng] { return static_cast<char>('A' + rng() % 26); };
  auto two_prefix = [&rng, &letter] {
    const unsigned first = rng() % 10;  // A-prefixed blocks are the smallest
    const char p[2] = {first == 0 ? 'A' : kOnePrefix[first % 3],
                       first == 0 ? static_cast<char>('A' + rng() % 12) : letter()};
    return std::string(p, 2);
  };
  const unsigned shape = rng() % 100;
  std::string call;
  int suffix = 3;
  if (shape < 3) {           // 1x2, K1AB
    call = std::string(1, kOnePrefix[rng() % 3]);
    suffix = 2;
  } else if (shape < 6) {    // 2x1, AA1A
    call = two_prefix();
    suffix = 1;
  } else if (shape < 30) {   // 1x3, W1ABC
    call = std::string(1, kOnePrefix[rng() % 3]);
  } else if (shape < 42) {   // 2x2, KB1AB
    call = two_prefix();
    suffix = 2;
  } else {                   // 2x3, KC1ABC
    call = two_prefix();
  }
  call += static_cast<char>('0' + rng() % 10);
  for (int i = 0; i < suffix; ++i) call += letter();
  return call;
}

// One licensee as both sides hold it.
using Licence = bench::StoredLicence;

std::vector<Licence> make_licences() {
  std::mt19937 rng(20240601);
  std::map<dbfiles::CallKey, std::string> calls;
  while (static_cast<int>(calls.size()) < kEntries) {
    std::string call = random_call(rng);
    const dbfiles::CallKey key = dbfiles::encode_call(call.c_str());
    calls.emplace(key, std::move(call));
  }
  auto last = ranked(std::size(kLastNames), 8.0);
  auto first = ranked(std::size(kFirstNames), 3.0);
  auto street = ranked(std::size(kStreetNames), 10.0);
  std::vector<double> place_weight;
  std::vector<int> place_state;
  std::vector<std::uint32_t> place_zip;
  for (const Place& p : kPlaces) {
    place_weight.push_back(std::min(p.thousands, kMaxWeight));
    place_state.push_back(state_index(p.state));
    place_zip.push_back(1000 + rng() % 98000);
  }
  std::discrete_distribution<int> place(place_weight.begin(), place_weight.end());

  std::vector<Licence> out;
  out.reserve(calls.size());
  for (auto& [key, call] : calls) {
    Licence l;
    l.call = std::move(call);
    dbfiles::UsRecord& r = l.record;
    r.key = key;
    // One draw per statement, so that every compiler makes the same licensees.
    r.name = kLastNames[last(rng)];
    r.name += ", ";
    r.name += kFirstNames[first(rng)];
    if (rng() % 5 != 0) {
      r.name += ' ';
      r.name += static_cast<char>('A' + rng() % 26);
    }
    const std::uint32_t highest = rng() % 2 != 0 ? 999 : 19999;
    r.street = std::to_string(1 + rng() % highest) + " ";
    if (rng() % 6 == 0) r.street += kDirections[rng() % std::size(kDirections)];
    r.street += kStreetNames[street(rng)];
    r.street += ' ';
    r.street += kStreetTypes[rng() % std::size(kStreetTypes)];
    if (rng() % 12 == 0) r.street += " APT " + std::to_string(1 + rng() % 40);
    const int p = place(rng);
    r.city = kPlaces[p].city;
    r.state = static_cast<std::uint32_t>(place_state[p]);
    r.zip = place_zip[p] + rng() % 40;
    out.push_back(std::move(l));
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// The data, made once per run: call.db and calls.sqlite with the same licensees, and the
// callsigns the lookup benchmarks look up.

void check_sqlite(sqlite3* db, int rc, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

void exec(sqlite3* db, const char* sql) { check_sqlite(db, sqlite3_exec(db, sql, nullptr, nullptr, nullptr), sql); }

struct Data {
  std::string source;  // "demo" or "synthetic"
  std::string folder;  // working files: calls.sqlite, and the synthetic data folder
  std::string data_folder;  // call.db and callprev.db
  std::string call_db;
  dbfiles::UsDatabase us;
  dbfiles::LookupFiles files;  // as the lookup window opens them
  bench::MappedCallDb mapped;
  sqlite3* sql = nullptr;
  std::vector<std::string> probes;  // in random order
  int probes_found = 0;             // of them in call.db
  int probes_previous = 0;          // not in call.db, in callprev.db
};

void load_sqlite(const std::string& path, const std::vector<Licence>& licences,
                 const std::vector<dbfiles::PrevEntry>& previous) {
  std::filesystem::remove(path);
  sqlite3* db = nullptr;
  check_sqlite(db, sqlite3_open(path.c_str(), &db), "open");
  exec(db, "PRAGMA journal_mode=OFF");
  exec(db, "PRAGMA synchronous=OFF");
  exec(db,
       "CREATE TABLE calls(call TEXT PRIMARY KEY, name TEXT, street TEXT, city TEXT, state TEXT, "
       "zip INTEGER, text TEXT)");
  exec(db, "BEGIN");
  sqlite3_stmt* insert = nullptr;
  check_sqlite(db,
               sqlite3_prepare_v2(db, "INSERT INTO calls VALUES(?,?,?,?,?,?,?)", -1, &insert,
                                  nullptr),
               "prepare insert");
  for (const Licence& l : licences) {
    const dbfiles::UsRecord& r = l.record;
    const std::string text = r.name + r.street + r.city;
    sqlite3_bind_text(insert, 1, l.call.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 2, r.name.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 3, r.street.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 4, r.city.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 5, dbfiles::StateCodes[r.state], -1, SQLITE_STATIC);
    sqlite3_bind_int(insert, 6, static_cast<int>(r.zip));
    sqlite3_bind_text(insert, 7, text.c_str(), -1, SQLITE_TRANSIENT);
    check_sqlite(db, sqlite3_step(insert), "insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  exec(db, "CREATE TABLE prev(old TEXT PRIMARY KEY, new TEXT)");
  check_sqlite(db, sqlite3_prepare_v2(db, "INSERT INTO prev VALUES(?,?)", -1, &insert, nullptr),
               "prepare insert");
  for (const dbfiles::PrevEntry& e : previous) {
    const std::string old_call = dbfiles::decode_call(e.old_key);
    sqlite3_bind_text(insert, 1, old_call.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 2, dbfiles::decode_call(e.new_key), -1, SQLITE_TRANSIENT);
    check_sqlite(db, sqlite3_step(insert), "insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  exec(db, "COMMIT");
  exec(db, "CREATE INDEX calls_name ON calls(name)");
  exec(db, "CREATE INDEX calls_city ON calls(city)");
  exec(db, "CREATE INDEX calls_state ON calls(state)");
  exec(db, "ANALYZE");
  sqlite3_close(db);
}

void fail(const std::string& what) {
  std::fprintf(stderr, "search_bench: %s\n", what.c_str());
  std::exit(1);
}

// Synthetic data: call.db of kEntries licences and callprev.db of kPreviousCalls former
// callsigns, each mapped onto a licensed one.
void make_synthetic(const std::string& folder, std::vector<Licence>* licences,
                    std::vector<dbfiles::PrevEntry>* previous) {
  std::fprintf(stderr, "making %d licences in %s...\n", kEntries, folder.c_str());
  *licences = make_licences();
  std::vector<dbfiles::UsRecord> records;
  records.reserve(licences->size());
  for (const Licence& l : *licences) records.push_back(l.record);
  std::string error;
  if (dbfiles::write_call_db(folder + "/call.db", "20240601", records, &error) != 0) fail(error);
  std::mt19937 rng(20240602);
  std::set<dbfiles::CallKey> keys;
  for (const Licence& l : *licences) keys.insert(l.record.key);
  std::map<dbfiles::CallKey, dbfiles::CallKey> prev;
  while (static_cast<int>(prev.size()) < kPreviousCalls) {
    const dbfiles::CallKey old_key = dbfiles::encode_call(random_call(rng).c_str());
    if (keys.count(old_key) == 0) prev[old_key] = (*licences)[rng() % licences->size()].record.key;
  }
  previous->clear();
  for (const auto& [old_key, new_key] : prev) previous->push_back({old_key, new_key});
  if (dbfiles::write_prev_db(folder + "/callprev.db", "20240601", *previous, &error) != 0) {
    fail(error);
  }
}

// The probed callsigns, shuffled: existing ones, ones in neither file, and former ones.
void pick_probes(Data* d, const std::vector<Licence>& licences,
                 const std::vector<dbfiles::PrevEntry>& previous) {
  std::mt19937 rng(7);
  std::set<dbfiles::CallKey> keys;
  for (const Licence& l : licences) keys.insert(l.record.key);
  std::set<dbfiles::CallKey> old_keys;
  for (const dbfiles::PrevEntry& e : previous) old_keys.insert(e.old_key);
  for (int i = 0; i < kExistingProbes; ++i) {
    d->probes.push_back(licences[rng() % licences.size()].call);
  }
  d->probes_found = kExistingProbes;
  for (int i = 0; i < kMissingProbes;) {
    const std::string call = random_call(rng);
    const dbfiles::CallKey key = dbfiles::encode_call(call.c_str());
    if (keys.count(key) != 0 || old_keys.count(key) != 0) continue;
    d->probes.push_back(call);
    ++i;
  }
  for (int i = 0; i < kPreviousProbes && !previous.empty(); ++i) {
    const dbfiles::PrevEntry& e = previous[rng() % previous.size()];
    if (keys.count(e.old_key) != 0) continue;  // a licensed callsign is found first
    d->probes.push_back(dbfiles::decode_call(e.old_key));
    ++d->probes_previous;
  }
  std::shuffle(d->probes.begin(), d->probes.end(), rng);
}

Data& data() {
  static Data d = [] {
    Data d;
    std::vector<Licence> licences;
    std::vector<dbfiles::PrevEntry> previous;
    std::string error;
    const std::string demo = bench::demo_folder();
    if (!demo.empty()) {
      d.source = "demo";
      d.folder = bench::work_folder("orbisk-search-bench-demo");
      d.data_folder = demo + "/calldb";
      std::fprintf(stderr, "reading %s...\n", d.data_folder.c_str());
      if (bench::read_call_db(d.data_folder + "/call.db", &licences, &error) != 0) fail(error);
      if (bench::read_prev_db(d.data_folder + "/callprev.db", &previous, &error) != 0) {
        fail(error);
      }
    } else {
      d.source = "synthetic";
      d.folder = bench::work_folder("orbisk-search-bench");
      d.data_folder = d.folder;
      make_synthetic(d.folder, &licences, &previous);
    }
    d.call_db = d.data_folder + "/call.db";
    load_sqlite(d.folder + "/calls.sqlite", licences, previous);
    pick_probes(&d, licences, previous);

    int err = 0;
    if (dbfiles::open_call_db(d.call_db, &d.us, &err) != 0) {
      fail("open_call_db: error " + std::to_string(err));
    }
    dbfiles::open_lookup_files(d.data_folder, dbfiles::Edition::full, &d.files);
    if (!d.files.us_ready || !d.files.prev_ready) fail("cannot open the lookup files");
    if (d.mapped.open(d.call_db, &error) != 0) fail(error);
    check_sqlite(d.sql, sqlite3_open_v2((d.folder + "/calls.sqlite").c_str(), &d.sql,
                                        SQLITE_OPEN_READONLY, nullptr),
                 "open");
    exec(d.sql, "PRAGMA case_sensitive_like=ON");
    std::fprintf(stderr, "%s data: %zu licences, %zu former callsigns; call.db %.1f MB, "
                 "calls.sqlite %.1f MB\n",
                 d.source.c_str(), licences.size(), previous.size(),
                 static_cast<double>(std::filesystem::file_size(d.call_db)) / 1e6,
                 static_cast<double>(std::filesystem::file_size(d.folder + "/calls.sqlite")) / 1e6);
    benchmark::AddCustomContext("data", d.source);
    benchmark::AddCustomContext("licences", std::to_string(licences.size()));
    benchmark::AddCustomContext("sqlite_version", sqlite3_libversion());
    return d;
  }();
  return d;
}

// ---------------------------------------------------------------------------------------------
// The two sides of each search.

class QuietView : public lookup::SearchView {
 public:
  void set_status(std::string_view) override {}
  void message_box(std::string_view text, std::string_view caption, lookup::SearchIcon) override {
    std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(caption.size()), caption.data(),
                 static_cast<int>(text.size()), text.data());
  }
};

// Notes when the name/city phase starts and ends, by the status lines the search shows.
class PhaseClock : public QuietView {
 public:
  using Clock = std::chrono::steady_clock;
  void set_status(std::string_view text) override {
    if (text == "Searching names/cities...") {
      start = Clock::now();
    } else if (text == "Searching fixed data...") {
      end = Clock::now();
    }
  }
  Clock::time_point start;
  Clock::time_point end;
};

enum class Query { name, city, state };

lookup::SearchCriteria criteria(Query q) {
  lookup::SearchCriteria c;
  switch (q) {
    case Query::name: c.name = kName; break;
    case Query::city: c.city = kCity; break;
    case Query::state: c.state = state_index(kState); break;
  }
  return c;
}

const char* sql_of(Query q) {
  switch (q) {
    case Query::name:
      return "SELECT call,name,street,city,state,zip FROM calls WHERE name LIKE 'SMITH, J%' "
             "ORDER BY call";
    case Query::city:
      return "SELECT call,name,street,city,state,zip FROM calls WHERE text LIKE '%SPRINGFIELD' "
             "ORDER BY call";
    case Query::state:
      return "SELECT call,name,street,city,state,zip FROM calls WHERE state = ? ORDER BY call";
  }
  return "";
}

const lookup::IndexCopy& index_copy() {
  static const lookup::IndexCopy copy = [] {
    lookup::IndexCopy c;
    QuietView view;
    if (lookup::make_index_copy(data().us, &c, view) != 0) std::exit(1);
    return c;
  }();
  return copy;
}

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    check_sqlite(db, sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr), sql);
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(Statement&& other) noexcept : stmt_(other.stmt_) { other.stmt_ = nullptr; }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

Statement prepare(Query q) {
  Statement s(data().sql, sql_of(q));
  if (q == Query::state) sqlite3_bind_text(s.get(), 1, kState, -1, SQLITE_STATIC);
  return s;
}

// Steps every row and reads every column, as a result list would. Returns the rows; the
// callsigns go in *calls when asked for.
int run_sql(sqlite3_stmt* stmt, std::size_t* bytes, std::vector<std::string>* calls = nullptr) {
  int rows = 0;
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    ++rows;
    for (int c = 0; c < 5; ++c) {
      const unsigned char* text = sqlite3_column_text(stmt, c);
      *bytes += static_cast<std::size_t>(sqlite3_column_bytes(stmt, c));
      if (c == 0 && calls != nullptr) calls->emplace_back(reinterpret_cast<const char*>(text));
    }
    *bytes += static_cast<std::size_t>(sqlite3_column_int(stmt, 5));
  }
  sqlite3_reset(stmt);
  return rows;
}

std::vector<std::string> calls_in(const std::string& lines) {
  std::vector<std::string> calls;
  for (std::size_t pos = 0; pos < lines.size();) {
    calls.push_back(lines.substr(pos, lines.find(' ', pos) - pos));
    const std::size_t eol = lines.find('\n', pos);
    pos = eol == std::string::npos ? lines.size() : eol + 1;
  }
  return calls;
}

std::map<Query, int> g_expected_rows;  // what both sides found in the check

// Runs each search once on both sides and compares what they found. Both lists come sorted by
// callsign: the index's key order is the callsigns' character order.
void check_same_results() {
  const char* names[] = {"name", "city", "state"};
  for (Query q : {Query::name, Query::city, Query::state}) {
    QuietView view;
    const lookup::SearchOutcome ours =
        lookup::extended_search(data().us, index_copy(), criteria(q), 0, view);
    Statement s = prepare(q);
    std::vector<std::string> theirs;
    std::size_t bytes = 0;
    const int rows = run_sql(s.get(), &bytes, &theirs);
    const std::vector<std::string> mine = calls_in(ours.text);
    if (ours.found != rows) {
      std::printf("WARNING: %s search: ours found %d, SQLite %d\n", names[static_cast<int>(q)],
                  ours.found, rows);
    } else if (mine != theirs) {
      std::printf("WARNING: %s search: both found %d, but not the same callsigns\n",
                  names[static_cast<int>(q)], rows);
    } else {
      std::printf("check: %s search finds the same %d licensees on both sides\n",
                  names[static_cast<int>(q)], rows);
    }
    g_expected_rows[q] = rows;
    Statement plan(data().sql, (std::string("EXPLAIN QUERY PLAN ") + sql_of(q)).c_str());
    if (q == Query::state) sqlite3_bind_text(plan.get(), 1, kState, -1, SQLITE_STATIC);
    while (sqlite3_step(plan.get()) == SQLITE_ROW) {
      std::printf("       SQLite plan: %s\n", sqlite3_column_text(plan.get(), 3));
    }
  }
  std::fflush(stdout);
}

// Shows the rows found, with a warning when they are not what both sides found in the check.
void note_rows(benchmark::State& state, const char* side, Query q, int rows) {
  state.counters["rows"] = rows;
  const auto it = g_expected_rows.find(q);
  if (it != g_expected_rows.end() && it->second != rows) {
    std::printf("WARNING: %s found %d rows, the check found %d\n", side, rows, it->second);
  }
}

// ---------------------------------------------------------------------------------------------
// Benchmarks

// Reads the text area as the name/city phase does, in 65,536-byte fills into one buffer, and
// counts its zero bytes with memchr: no design that streams the file can go faster.
void BM_ScanFloor(benchmark::State& state) {
  Data& d = data();
  const int fd = ::open(d.call_db.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    state.SkipWithError("open failed");
    return;
  }
  std::unique_ptr<char[]> buffer(new char[lookup::kScanBuffer]);
  const std::uint64_t end = d.us.index_offset;
  std::size_t zeros = 0;
  for (auto _ : state) {
    zeros = 0;
    for (std::uint64_t at = dbfiles::kHeaderSize; at < end;) {
      const std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(lookup::kScanBuffer, end - at));
      const ssize_t got = ::pread(fd, buffer.get(), want, static_cast<off_t>(at));
      if (got <= 0) {
        state.SkipWithError("read failed");
        break;
      }
      const char* p = buffer.get();
      const char* stop = p + got;
      while ((p = static_cast<const char*>(std::memchr(p, '\0', static_cast<std::size_t>(stop - p)))) != nullptr) {
        ++zeros;
        ++p;
      }
      at += static_cast<std::uint64_t>(got);
    }
    benchmark::DoNotOptimize(zeros);
  }
  ::close(fd);
  state.counters["zeros"] = static_cast<double>(zeros);
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(end - dbfiles::kHeaderSize));
}
BENCHMARK(BM_ScanFloor)->Unit(benchmark::kMillisecond)->UseRealTime();

void ours(benchmark::State& state, Query q) {
  Data& d = data();
  const lookup::IndexCopy& index = index_copy();
  const lookup::SearchCriteria c = criteria(q);
  QuietView view;
  int found = 0;
  for (auto _ : state) {
    const lookup::SearchOutcome out = lookup::extended_search(d.us, index, c, 0, view);
    found = out.found;
    benchmark::DoNotOptimize(out.text.data());
  }
  note_rows(state, "ours", q, found);
}

void sqlite(benchmark::State& state, Query q) {
  Statement s = prepare(q);
  int rows = 0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    rows = run_sql(s.get(), &bytes);
    benchmark::DoNotOptimize(bytes);
  }
  note_rows(state, "SQLite", q, rows);
}

// Only the name/city phase of a search, timed by the status lines that open and close it.
void ours_phase(benchmark::State& state, Query q) {
  Data& d = data();
  const lookup::IndexCopy& index = index_copy();
  const lookup::SearchCriteria c = criteria(q);
  PhaseClock view;
  for (auto _ : state) {
    const lookup::SearchOutcome out = lookup::extended_search(d.us, index, c, 0, view);
    benchmark::DoNotOptimize(out.text.data());
    state.SetIterationTime(std::chrono::duration<double>(view.end - view.start).count());
  }
}

void BM_OursNamePhase(benchmark::State& state) { ours_phase(state, Query::name); }
void BM_OursCityPhase(benchmark::State& state) { ours_phase(state, Query::city); }
void BM_OursName(benchmark::State& state) { ours(state, Query::name); }
void BM_SqliteName(benchmark::State& state) { sqlite(state, Query::name); }
void BM_OursCity(benchmark::State& state) { ours(state, Query::city); }
void BM_SqliteCity(benchmark::State& state) { sqlite(state, Query::city); }
void BM_OursState(benchmark::State& state) { ours(state, Query::state); }
void BM_SqliteState(benchmark::State& state) { sqlite(state, Query::state); }
BENCHMARK(BM_OursNamePhase)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_OursCityPhase)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_OursName)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SqliteName)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OursCity)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SqliteCity)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OursState)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SqliteState)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---------------------------------------------------------------------------------------------
// Callsign lookups: every probe once per iteration; the time shown is per iteration, the
// counter per_lookup the time of one probe.

void count_probes(benchmark::State& state, int found, int expected) {
  if (found != expected) {
    state.SkipWithError(("found " + std::to_string(found) + " of the probes, not " +
                         std::to_string(expected)).c_str());
  }
  const double probes = static_cast<double>(data().probes.size());
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(probes));
  state.counters["probes"] = probes;
  state.counters["per_lookup"] = benchmark::Counter(
      probes, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// call.db alone, read calls: one 12-byte read per probed index entry, one for the text.
void BM_OursLookup(benchmark::State& state) {
  Data& d = data();
  int found = 0;
  for (auto _ : state) {
    found = 0;
    for (const std::string& call : d.probes) {
      dbfiles::LookupResult result;
      found += dbfiles::lookup_us_call(d.us, call.c_str(), &result).found ? 1 : 0;
      benchmark::DoNotOptimize(result.place_line);
    }
  }
  count_probes(state, found, d.probes_found);
}
BENCHMARK(BM_OursLookup)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The same through the read-only map of call.db.
void BM_MmapLookup(benchmark::State& state) {
  Data& d = data();
  int found = 0;
  for (auto _ : state) {
    found = 0;
    for (const std::string& call : d.probes) {
      dbfiles::LookupResult result;
      found += d.mapped.lookup(call.c_str(), &result).found ? 1 : 0;
      benchmark::DoNotOptimize(result.place_line);
    }
  }
  count_probes(state, found, d.probes_found);
}
BENCHMARK(BM_MmapLookup)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_SqliteLookup(benchmark::State& state) {
  Data& d = data();
  Statement s(d.sql, "SELECT call,name,street,city,state,zip FROM calls WHERE call = ?");
  int found = 0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    found = 0;
    for (const std::string& call : d.probes) {
      sqlite3_bind_text(s.get(), 1, call.c_str(), static_cast<int>(call.size()), SQLITE_STATIC);
      found += run_sql(s.get(), &bytes);
    }
    benchmark::DoNotOptimize(bytes);
  }
  count_probes(state, found, d.probes_found);
}
BENCHMARK(BM_SqliteLookup)->Unit(benchmark::kMicrosecond)->UseRealTime();

// What the lookup window does for a typed callsign: call.db, then callprev.db on a miss, and
// the text of the output built.
void BM_OursCallsign(benchmark::State& state) {
  Data& d = data();
  int answered = 0;
  for (auto _ : state) {
    answered = 0;
    for (const std::string& call : d.probes) {
      dbfiles::LookupResult slot;
      const dbfiles::SearchOutput out = dbfiles::search_callsign(d.files, call.c_str(), &slot);
      answered += out.found || out.text.find(" NOW ") != std::string::npos ? 1 : 0;
      benchmark::DoNotOptimize(out.text.data());
    }
  }
  count_probes(state, answered, d.probes_found + d.probes_previous);
}
BENCHMARK(BM_OursCallsign)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The same answers from SQLite: the licence, else the former callsign's successor.
class SqliteCallsign {
 public:
  explicit SqliteCallsign(sqlite3* db)
      : calls_(db, "SELECT call,name,street,city,state,zip FROM calls WHERE call = ?"),
        prev_(db, "SELECT new FROM prev WHERE old = ?") {}
  // 1 with the licence's columns read, 2 with the successor read, 0 for neither.
  int find(const std::string& call, std::size_t* bytes, std::string* successor = nullptr) {
    sqlite3_bind_text(calls_.get(), 1, call.c_str(), static_cast<int>(call.size()),
                      SQLITE_STATIC);
    if (run_sql(calls_.get(), bytes) > 0) return 1;
    sqlite3_bind_text(prev_.get(), 1, call.c_str(), static_cast<int>(call.size()), SQLITE_STATIC);
    int answer = 0;
    if (sqlite3_step(prev_.get()) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(prev_.get(), 0);
      *bytes += static_cast<std::size_t>(sqlite3_column_bytes(prev_.get(), 0));
      if (successor != nullptr) *successor = reinterpret_cast<const char*>(text);
      answer = 2;
    }
    sqlite3_reset(prev_.get());
    return answer;
  }

 private:
  Statement calls_;
  Statement prev_;
};

void BM_SqliteCallsign(benchmark::State& state) {
  Data& d = data();
  SqliteCallsign sql(d.sql);
  int answered = 0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    answered = 0;
    for (const std::string& call : d.probes) answered += sql.find(call, &bytes) != 0 ? 1 : 0;
    benchmark::DoNotOptimize(bytes);
  }
  count_probes(state, answered, d.probes_found + d.probes_previous);
}
BENCHMARK(BM_SqliteCallsign)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Every probe once on every side: the same licences found, the same successors named.
void check_same_answers() {
  Data& d = data();
  SqliteCallsign sql(d.sql);
  int differ = 0;
  int found = 0;
  int previous = 0;
  for (const std::string& call : d.probes) {
    dbfiles::LookupResult slot;
    const dbfiles::SearchOutput ours = dbfiles::search_callsign(d.files, call.c_str(), &slot);
    dbfiles::LookupResult mapped;
    const bool mapped_found = d.mapped.lookup(call.c_str(), &mapped).found;
    std::size_t bytes = 0;
    std::string successor;
    const int theirs = sql.find(call, &bytes, &successor);
    const std::string now = " NOW " + successor + "\r\n";
    const bool same = ours.found ? theirs == 1 && mapped_found &&
                                       std::strcmp(mapped.name_line, slot.name_line) == 0
                      : theirs == 2 ? !mapped_found && ours.text.find(now) != std::string::npos
                                    : theirs == 0 && !mapped_found &&
                                          ours.text.find(" NOT FOUND") != std::string::npos;
    if (!same && differ++ < 5) std::printf("WARNING: lookup of %s differs\n", call.c_str());
    found += ours.found ? 1 : 0;
    previous += theirs == 2 ? 1 : 0;
  }
  if (differ == 0) {
    std::printf("check: %zu callsigns probed (%d licensed, %d former), same answers on every "
                "side\n",
                d.probes.size(), found, previous);
  } else {
    std::printf("WARNING: %d of %zu probed callsigns got different answers\n", differ,
                d.probes.size());
  }
  std::fflush(stdout);
}

// Keeps each benchmark's seconds per iteration for the ratios printed at the end: the median
// when the run was repeated (--benchmark_repetitions), else the one run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal, so that a saved run reads cleanly.
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const std::string& name = run.run_name.function_name;
      const double seconds =
          run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        seconds_[name] = seconds;
        medians_.insert(name);
      } else if (run.run_type == Run::RT_Iteration && medians_.count(name) == 0) {
        seconds_[name] = seconds;
      }
    }
  }
  // Seconds per iteration, or 0 when the benchmark did not run.
  double seconds(const char* name) const {
    const auto it = seconds_.find(name);
    return it == seconds_.end() ? 0 : it->second;
  }
  bool empty() const { return seconds_.empty(); }

 private:
  std::map<std::string, double> seconds_;
  std::set<std::string> medians_;
};

void print_ratios(const RatioReporter& r) {
  if (r.empty()) return;
  const double floor = r.seconds("BM_ScanFloor");
  std::printf("\n%-28s %12s %12s %8s  %s\n", "", "ours", "against", "ratio", "target");
  auto row = [](const char* what, double a, double b, double scale, const char* unit,
                const char* target) {
    if (a <= 0 || b <= 0) return;
    std::printf("%-28s %9.2f %-2s %9.2f %-2s %8.2f  %s\n", what, a * scale, unit, b * scale, unit,
                a / b, target);
  };
  row("name phase / scan floor", r.seconds("BM_OursNamePhase"), floor, 1e3, "ms", "at most 2");
  row("city phase / scan floor", r.seconds("BM_OursCityPhase"), floor, 1e3, "ms", "at most 2");
  row("name search / SQLite", r.seconds("BM_OursName"), r.seconds("BM_SqliteName"), 1e3, "ms",
      "as measured");
  row("city search / SQLite", r.seconds("BM_OursCity"), r.seconds("BM_SqliteCity"), 1e3, "ms",
      "below 1");
  row("state search / SQLite", r.seconds("BM_OursState"), r.seconds("BM_SqliteState"), 1e3, "ms",
      "below 1");
  const double probes = static_cast<double>(data().probes.size());
  row("callsign / SQLite (each)", r.seconds("BM_OursCallsign") / probes,
      r.seconds("BM_SqliteCallsign") / probes, 1e6, "us", "at most 1");
  row("call.db lookup / SQLite", r.seconds("BM_OursLookup") / probes,
      r.seconds("BM_SqliteLookup") / probes, 1e6, "us", "at most 1");
  row("mapped / read calls", r.seconds("BM_MmapLookup") / probes,
      r.seconds("BM_OursLookup") / probes, 1e6, "us", "as measured");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  data();
  check_same_results();
  check_same_answers();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  print_ratios(reporter);
  sqlite3_close(data().sql);
  dbfiles::close_lookup_files(&data().files);
  benchmark::Shutdown();
  return 0;
}
